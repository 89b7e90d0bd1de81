#include "tests/cluster/cluster_programs.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace korvan::cluster_test {

// The port after `prefix` in a program's output, once it is there.
std::optional<std::uint16_t> PortAfter(const std::string& output, const std::string& prefix) {
  const auto at = output.find(prefix);
  if (at == std::string::npos) return std::nullopt;
  const auto digits = output.substr(at + prefix.size(), 5);
  const int port = std::atoi(digits.c_str());
  if (port <= 0 || port > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

std::string UnixRequest(const std::filesystem::path& socket_path, const std::string& request) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return {};
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace korvan::cluster_test
