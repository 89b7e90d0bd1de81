// What is prepared before a client connection is carried, and how the
// tunnel connection is opened: directly, or through a parent HTTP proxy that
// is asked for a CONNECT tunnel.
//
// Thread rule: PrepareOpeningPlan runs on the main thread (it reads shell
// state copied into its inputs); ConnectTunnel on the worker. The plan is a
// value that the worker owns once it has it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wire/opening.h"
#include "tunnel/worker_environment.h"

namespace korvan {

inline constexpr std::uint16_t kDefaultServerPort = 3893;

// The shell's state that the preparation reads, gathered on the main thread.
struct OpeningInputs {
  Protocol protocol = Protocol::kHttp;
  std::string target_host;        // TCP/IP mapping only
  std::uint16_t target_port = 0;  // TCP/IP mapping only
  int timeout = 0;                // the port entry's time-out, 0..15
  LoginBlock login{};
  std::uint8_t picture_compression = 0;
  std::uint16_t filter_word = 0;
  bool account_info_wanted = false;
  std::string server_address;
  std::uint16_t server_port = kDefaultServerPort;
  bool use_parent_proxy = false;
  std::string parent_host;
  int parent_port = 3128;
  std::string parent_user;
  std::string parent_password;
};

// The worker's plan for one connection.
struct OpeningPlan {
  std::vector<std::uint8_t> opening;       // sent once, before the first frame
  std::vector<std::uint8_t> initial_data;  // TCP/IP mapping: "Host: h:p\r\n\r\n"
  Protocol protocol = Protocol::kHttp;
  std::string server_address;
  std::uint16_t server_port = kDefaultServerPort;
  std::string parent_host;  // empty: the tunnel goes direct
  int parent_port = 0;
  std::string parent_auth;  // "Proxy-Authorization: Basic ...\r\n" or empty
};

OpeningPlan PrepareOpeningPlan(const OpeningInputs& in);

// "Proxy-Authorization: Basic <base64(user:password)>\r\n".
std::string ProxyAuthorizationLine(std::string_view user, std::string_view password);

// "CONNECT server:port HTTP/1.0\r\n" + auth line + "\r\n".
std::string BuildConnectRequest(std::string_view server, std::uint16_t port, std::string_view auth_line);

// A parent proxy's answer opens the tunnel when its status line is that of
// HTTP/1.0 or HTTP/1.1 with the code 200.
bool ConnectAnswerOpensTunnel(std::string_view answer);

enum class TunnelFailure { kNone, kParentProxy, kServer };

struct TunnelConnection {
  std::unique_ptr<StreamSocket> socket;
  TunnelFailure failure = TunnelFailure::kNone;
  // Bytes that came behind the proxy's answer: already the server's.
  std::vector<std::uint8_t> early_bytes;
};

inline constexpr std::uint32_t kConnectRetryDelayMs = 1000;
inline constexpr std::uint32_t kTunnelTimeoutMs = 5000;

// Opens the tunnel for `plan`: one retry after 1000 ms when opening fails,
// then through a parent proxy the CONNECT handshake (answer read until an
// empty line or 5000 ms of silence). `plan.parent_host` is cleared when the
// proxy refuses, so that the failure is reported as the server's.
TunnelConnection ConnectTunnel(OpeningPlan& plan, Network& network, Clock& clock);

}  // namespace korvan
