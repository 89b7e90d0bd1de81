// Starting other programs (the updater, systemctl) without waiting for them.
//
// Thread rule: any thread; each call stands alone.
#pragma once

#include "shell/platform_services.h"

namespace korvan {

class PosixProcessLauncher : public ProcessLauncher {
 public:
  // A bare name is looked up on PATH; a name with a folder is used as given.
  // The child's exit status is collected in the background, so that no
  // zombie stays behind while the program runs on.
  bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override;
};

}  // namespace korvan
