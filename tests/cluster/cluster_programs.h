// Small helpers for driving korvan-server programs and HAProxy from tests
// and benches alike (no test framework here).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace korvan::cluster_test {

// The port after `prefix` in a program's output, once it is there.
std::optional<std::uint16_t> PortAfter(const std::string& output, const std::string& prefix);
// Sends `request` over a Unix socket (HAProxy's stats socket) and returns
// everything it answers until it closes; empty when it cannot connect.
std::string UnixRequest(const std::filesystem::path& socket_path, const std::string& request);

}  // namespace korvan::cluster_test
