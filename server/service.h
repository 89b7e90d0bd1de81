// What a service (HTTP proxy, port mapping, SOCKS 4, SMTP) gets from the
// session that runs it. Everything here lives on the session's strand.
#pragma once

#include <functional>
#include <string>

#include "server/asio.h"
#include "server/content_steering.h"
#include "server/ftp_pool.h"
#include "server/server_options.h"
#include "server/target_policy.h"
#include "server/tunnel_io.h"

namespace korvan::server {

struct ServiceContext {
  asio::any_io_executor executor;  // the session's strand
  TunnelReader& reader;
  TunnelWriter& writer;
  const ServerConfig& config;
  TargetPolicy policy;
  // Settles the traffic so far and says whether the account may go on.
  std::function<bool()> still_has_credit;
  // The target connection in use, so that closing the session reaches it.
  std::function<void(beast::tcp_stream*)> set_target;
  // Ends the server's sending side once everything is out; the client then closes.
  std::function<void()> finish_sending;
  std::string name;  // for the log: "account N from ADDRESS"
  // The picture levels and filter word of the opening message.
  SteeringChoices steering;
  // The server's pool for CPU-heavy work (packing, picture recompression),
  // so that one big job never stalls the event loop.
  asio::any_io_executor work_executor;
  // The threads for ftp:// requests; none: such requests are refused.
  FtpPool* ftp_pool = nullptr;
  // What closing the session must also stop (work that waits on no socket
  // of the session's own, such as an FTP transfer); empty for nothing.
  std::function<void(std::function<void()>)> set_abort;
};

// Registers a target connection with the session for as long as it lives.
class TargetRegistration {
 public:
  TargetRegistration(ServiceContext& context, beast::tcp_stream& stream) : context_(context) {
    context_.set_target(&stream);
  }
  ~TargetRegistration() { context_.set_target(nullptr); }
  TargetRegistration(const TargetRegistration&) = delete;
  TargetRegistration& operator=(const TargetRegistration&) = delete;

 private:
  ServiceContext& context_;
};

// Registers `abort` as what closing the session stops, for as long as it lives.
class AbortRegistration {
 public:
  AbortRegistration(ServiceContext& context, std::function<void()> abort) : context_(context) {
    if (context_.set_abort) context_.set_abort(std::move(abort));
  }
  ~AbortRegistration() {
    if (context_.set_abort) context_.set_abort({});
  }
  AbortRegistration(const AbortRegistration&) = delete;
  AbortRegistration& operator=(const AbortRegistration&) = delete;

 private:
  ServiceContext& context_;
};

// Each runs until its conversation ends; throws on a broken tunnel.
Task<void> RunHttpProxy(ServiceContext& context);
Task<void> RunPortMapping(ServiceContext& context);
Task<void> RunSocks4(ServiceContext& context);
Task<void> RunSmtp(ServiceContext& context);

}  // namespace korvan::server
