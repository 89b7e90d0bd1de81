// Window mode: the tray application. apps/korvan parses the command line
// and loads this from the korvan-window module, so that service mode never
// loads Qt.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>

namespace korvan::gui {

struct WindowOptions {
  std::optional<std::filesystem::path> config_dir;  // else the usual search
  std::optional<std::filesystem::path> app_dir;     // else the executable's folder
};

// One window mode per user; 0 after an orderly end, 1 when it could not
// start (a second instance, no display, a failed start of the core).
int RunWindowMode(const WindowOptions& options, std::ostream& err);

}  // namespace korvan::gui

// The module's one entry (gui/window_module.cpp), looked up by name; null
// stands for an option not given.
extern "C" int korvan_window_main(const char* config_dir, const char* app_dir);
