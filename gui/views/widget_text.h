// Texts stay code-page bytes inside the program (the text table, language
// files, the log); they become Unicode only here, where a widget shows them
// or hands back what the user typed. The code page follows the current
// language file: 1251 when its Charset is RUSSIAN, else 1250.
//
// Thread rule: pure functions; the GUI thread calls them.
#pragma once

#include <string>
#include <string_view>

#include <QString>

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

enum class CodePage { k1250, k1251 };

// The code page of the language applied last.
CodePage CurrentCodePage(const ClientCore& core);

QString DecodeCodePage(std::string_view bytes, CodePage page);
// Characters the code page lacks become '?'.
std::string EncodeCodePage(const QString& text, CodePage page);

// A text of the program, for a widget.
QString WidgetText(std::string_view code_page_bytes, const ClientCore& core);
// What a widget holds, as the program keeps it.
std::string ByteText(const QString& text, const ClientCore& core);

}  // namespace korvan::gui
