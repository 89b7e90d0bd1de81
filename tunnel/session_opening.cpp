#include "tunnel/session_opening.h"

#include <openssl/evp.h>

#include <algorithm>

namespace korvan {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

OpeningPlan PrepareOpeningPlan(const OpeningInputs& in) {
  OpeningPlan plan;
  plan.server_address = in.server_address;
  plan.server_port = in.server_port;
  plan.protocol = in.protocol;
  plan.opening = BuildOpening(in.login, in.picture_compression, in.filter_word,
                              MakeServiceByte(in.protocol, in.timeout), false);
  if (in.protocol == Protocol::kTcpIp) {
    const std::string host = "Host: " + in.target_host + ":" + std::to_string(in.target_port) + "\r\n\r\n";
    plan.initial_data.assign(host.begin(), host.end());
  }
  if (in.use_parent_proxy) {
    plan.parent_host = std::string(Trim(in.parent_host));
    plan.parent_port = in.parent_port;
    if (!Trim(in.parent_user).empty()) plan.parent_auth = ProxyAuthorizationLine(in.parent_user, in.parent_password);
  }
  // The request rides along until the account information arrives; every
  // connection opened meanwhile carries it.
  if (in.account_info_wanted) {
    plan.opening.insert(plan.opening.end(), kAccountInfoRequest.begin(), kAccountInfoRequest.end());
  }
  return plan;
}

std::string ProxyAuthorizationLine(std::string_view user, std::string_view password) {
  std::string credentials(user);
  credentials += ':';
  credentials += password;
  return "Proxy-Authorization: Basic " + Base64(credentials) + "\r\n";
}

std::string BuildConnectRequest(std::string_view server, std::uint16_t port, std::string_view auth_line) {
  std::string request = "CONNECT ";
  request += server;
  request += ":" + std::to_string(port) + " HTTP/1.0\r\n";
  request += auth_line;
  request += "\r\n";
  return request;
}

bool ConnectAnswerOpensTunnel(std::string_view answer) {
  // Current proxies answer a CONNECT with HTTP/1.1; both versions mean the
  // same when the code is 200.
  return answer.starts_with("HTTP/1.0 200 ") || answer.starts_with("HTTP/1.1 200 ");
}

TunnelConnection ConnectTunnel(OpeningPlan& plan, Network& network, Clock& clock) {
  TunnelConnection result;
  const bool via_parent = !plan.parent_host.empty();
  const std::string& host = via_parent ? plan.parent_host : plan.server_address;
  const auto port = static_cast<std::uint16_t>(via_parent ? plan.parent_port : plan.server_port);
  const auto fail = [&] {
    result.socket.reset();
    result.failure = plan.parent_host.empty() ? TunnelFailure::kServer : TunnelFailure::kParentProxy;
    return std::move(result);
  };

  std::unique_ptr<StreamSocket> socket = network.Connect(host, port);
  if (!socket) {
    clock.Sleep(kConnectRetryDelayMs);
    socket = network.Connect(host, port);
  }
  if (!socket) return fail();
  socket->SetTimeout(kTunnelTimeoutMs);
  result.socket = std::move(socket);
  if (!via_parent) return result;

  const std::string request = BuildConnectRequest(plan.server_address, plan.server_port, plan.parent_auth);
  if (!result.socket->Write({reinterpret_cast<const std::uint8_t*>(request.data()), request.size()})) return fail();
  // Collect the answer until its empty line, or until the proxy falls silent
  // (a read that times out) or closes; judge what came so far.
  std::string answer;
  std::uint8_t buffer[1024];
  while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < 65536) {
    const long n = result.socket->Read(buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  if (!ConnectAnswerOpensTunnel(answer)) {
    plan.parent_host.clear();
    return fail();
  }
  if (const std::size_t end = answer.find("\r\n\r\n"); end != std::string::npos) {
    result.early_bytes.assign(answer.begin() + static_cast<long>(end + 4), answer.end());
  }
  return result;
}

}  // namespace korvan
