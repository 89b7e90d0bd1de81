// The HTML templates of generated pages, before and after their placeholders
// ("<#NAME>", matched without regard to case) are filled with the texts of
// the current language.
//
// The filled templates are patterns for FormatText: the page template takes
// title, heading and text (%S each), the FTP table template the rows (%S).
// Texts pasted in while filling get their "%" doubled, so a "%" in a
// translation comes out as a "%" and never turns into a placeholder.
#pragma once

#include <string>
#include <string_view>

#include "localisation/text_table.h"

namespace korvan {

// The fixed templates, placeholders still in them.
std::string_view PageTemplateBase();
std::string_view FtpTableTemplateBase();

// Always built from the fixed template, so nothing of an earlier language
// can remain.
std::string FillPageTemplate(const TextTable& texts, std::string_view version_text);
std::string FillFtpTableTemplate(const TextTable& texts);

}  // namespace korvan
