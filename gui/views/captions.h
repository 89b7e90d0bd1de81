// Captions of the translatable controls. A control takes part when its
// object name begins with "_"; it shows the caption the language files
// applied so far gave it, else the caption it was designed with (Czech).
// Controls without a caption of their own (edits, lists, sliders) take
// their accessible name from the label or group that names them, so that
// screen readers announce them in the current language.
//
// Thread rule: GUI thread only.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <QFont>
#include <QString>

class QWidget;

namespace korvan {
class ClientCore;
}

namespace korvan::gui {

// The design caption of a control of the main window or of the port setup
// dialog ("_tsCommunication" -> "Komunikace"); empty when it has none.
QString DesignCaption(std::string_view control_name);
QString DesignGridTitle(std::size_t column);
QString DesignPortSetupTitle();

// The caption of `control_name` in the current language (the language
// files applied so far), else its design caption.
QString CurrentCaption(const ClientCore& core, std::string_view control_name);

// A caption without its "&" mnemonic markers, for accessible names.
QString PlainCaption(const QString& caption);

// Puts `caption` on `widget` as its kind shows one: labels, buttons, check
// boxes, group boxes, tab pages (their tab), windows (their title). The
// accessible name follows the caption.
void SetCaption(QWidget& widget, const QString& caption);

// Applies the captions to every control below `root` whose object name
// begins with "_", from `captions` (control name -> code-page bytes) or the
// design caption. The tab captions of a QTabWidget's pages are included.
void ApplyCaptions(QWidget& root, const std::map<std::string, std::string>& captions, const ClientCore& core);

// The font the language asks for: "MS SANS SERIF" stands for the
// desktop's own sans-serif face; any other name is used as given.
QFont LanguageFont(const ClientCore& core, const QFont& base);

}  // namespace korvan::gui
