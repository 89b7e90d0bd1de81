// korvan-server: the compression server at the far end of the tunnel.
//
//   korvan-server --listen HOST:PORT --words FILE --accounts FILE|URL [--smtp-relay HOST:PORT] ...
//   korvan-server account add|set|show|list ...
#include <iostream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "server/account_command.h"
#include "server/log.h"
#include "server/server.h"
#include "server/server_options.h"
#include "server/account_store_factory.h"
#include "wire/word_list.h"

namespace {

using namespace korvan::server;

int Serve(const std::vector<std::string>& args) {
  auto parsed = ParseServerOptions(args);
  if (const auto* problem = std::get_if<std::string>(&parsed)) {
    std::cerr << "korvan-server: " << *problem << "\n" << kServerUsage;
    return kExitUsage;
  }
  ServerConfig config = std::get<ServerConfig>(std::move(parsed));
  std::string error;
  const auto words = korvan::LoadWordList(config.words, &error);
  if (!words) {
    std::cerr << "korvan-server: cannot load the word list " << config.words << ": " << error << "\n";
    return kExitFailure;
  }
  try {
    auto store = OpenAccountStore(config.accounts.string(), SqliteAccountStore::Mode::kOpenExisting, config.lease_time);
    Server server(std::move(config), words, store);
    server.Start();
    server.HandleSignals();
    // Before the listening line, so that whoever waits for that one has this too.
    if (const auto admin = server.admin_endpoint()) {
      std::cout << "korvan-server: admin on " << admin->address().to_string() << ":" << admin->port() << std::endl;
    }
    const auto endpoint = server.endpoint();
    std::cout << "korvan-server: listening on " << endpoint.address().to_string() << ":" << endpoint.port()
              << " (word list version " << static_cast<int>(words->version()) << ")" << std::endl;
    server.Run();
    Log("stopped");
  } catch (const std::exception& e) {
    std::cerr << "korvan-server: " << e.what() << "\n";
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    (args.empty() ? std::cerr : std::cout) << kServerUsage;
    return args.empty() ? kExitUsage : kExitOk;
  }
  if (args[0] == "account") {
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
      std::cout << kAccountUsage;
      return kExitOk;
    }
    return RunAccountCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
  }
  return Serve(args);
}
