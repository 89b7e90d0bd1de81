// The entry of the korvan-window module, the one symbol it exports.
#include <exception>
#include <iostream>

#include "gui/window_mode.h"

extern "C" __attribute__((visibility("default"))) int korvan_window_main(const char* config_dir,
                                                                          const char* app_dir) {
  korvan::gui::WindowOptions options;
  if (config_dir != nullptr) options.config_dir = config_dir;
  if (app_dir != nullptr) options.app_dir = app_dir;
  try {
    return korvan::gui::RunWindowMode(options, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "korvan: window mode ended: " << e.what() << std::endl;
    return 1;
  }
}
