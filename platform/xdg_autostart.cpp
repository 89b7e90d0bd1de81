#include "platform/xdg_autostart.h"

#include <cerrno>
#include <cstring>

#include "platform/replace_file.h"

namespace korvan {
namespace {

// One argument of Exec=: quoted when it holds a reserved character, with
// the characters that stay special inside quotes escaped; '%' doubled.
std::string ExecArgument(const std::string& argument) {
  static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string escaped;
  bool quote = argument.empty();
  for (const char c : argument) {
    if (kReserved.find(c) != std::string_view::npos) quote = true;
    if (c == '"' || c == '`' || c == '$' || c == '\\') escaped += '\\';
    escaped += c;
    if (c == '%') escaped += '%';
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

// Values of a desktop entry escape the backslash once more.
std::string EntryValue(const std::string& text) {
  std::string value;
  for (const char c : text) {
    if (c == '\\') {
      value += "\\\\";
    } else if (c == '\n') {
      value += "\\n";
    } else {
      value += c;
    }
  }
  return value;
}

}  // namespace

std::string XdgAutostart::EntryText(const std::vector<std::string>& command) {
  std::string exec;
  for (const auto& argument : command) {
    if (!exec.empty()) exec += ' ';
    exec += ExecArgument(argument);
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=KORVAN\n"
         "Comment=Compressing proxy for slow Internet links\n"
         "Exec=" + EntryValue(exec) + "\n"
         "Icon=korvan\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostart::IsEnabled() {
  std::error_code ec;
  return std::filesystem::exists(file_, ec);
}

void XdgAutostart::SetEnabled(bool enabled) {
  last_error_.clear();
  std::error_code ec;
  if (!enabled) {
    if (!std::filesystem::remove(file_, ec) && ec) last_error_ = file_.string() + ": " + ec.message();
    return;
  }
  // Written beside and renamed, so a session that starts meanwhile never
  // reads half an entry.
  if (const int code = ReplaceFile(file_, EntryText(command_), 0644); code != 0) {
    last_error_ = file_.string() + ": " + std::strerror(code);
  }
}

}  // namespace korvan
