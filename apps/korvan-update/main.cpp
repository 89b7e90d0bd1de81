// korvan-update: started by korvan after its loop; applies Update/ and
// restarts the client or the service (see --help).
#include <iostream>
#include <string>
#include <vector>

#include "platform/update_apply.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = korvan::ParseUpdaterArguments(args, &error);
  if (!options) {
    std::cerr << "korvan-update: " << error << "\n\n" << korvan::kUpdaterHelp;
    return 2;
  }
  if (options->help) {
    std::cout << korvan::kUpdaterHelp;
    return 0;
  }
  return korvan::RunUpdaterProgram(*options, std::cout, std::cerr);
}
