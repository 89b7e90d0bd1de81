// The product's web site and help-desk mailbox, shown in the footer of
// generated pages and behind the link labels of the main window.
#pragma once

#include <string_view>

namespace korvan {

inline constexpr std::string_view kProductWebSite = "http://www.korvan.example/";
inline constexpr std::string_view kHelpDeskMailbox = "helpdesk@korvan.example";

}  // namespace korvan
