// The command line of the server itself:
//   korvan-server --listen HOST:PORT --words FILE --accounts FILE
//                 [--smtp-relay HOST:PORT] [--allow-private] [--threads N]
//                 [--max-connections N] [--max-account-connections N]
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "server/proxy_target.h"

namespace korvan::server {

struct ServerConfig {
  TargetAddress listen;  // port 0 picks a free port (tests)
  std::filesystem::path words;
  std::filesystem::path accounts;
  std::optional<TargetAddress> smtp_relay;
  bool allow_private = false;
  unsigned io_threads = 2;               // event loop threads
  unsigned pack_threads = 2;             // threads that pack frames for the client
  unsigned max_connections = 1024;       // tunnel connections in all
  unsigned max_account_connections = 32; // simultaneous connections of one account
};

extern const char kServerUsage[];

// The arguments after the program name. A text names the problem on failure.
std::variant<ServerConfig, std::string> ParseServerOptions(const std::vector<std::string>& args);

}  // namespace korvan::server
