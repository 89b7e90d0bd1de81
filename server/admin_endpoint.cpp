#include "server/admin_endpoint.h"

#include <fcntl.h>

#include <array>
#include <set>
#include <stdexcept>
#include <string_view>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace korvan::server {

namespace http = beast::http;

struct AdminEndpoint::State {
  State(asio::io_context& io, const ServerMetrics& m) : strand(asio::make_strand(io)), acceptor(strand), metrics(m) {}

  asio::strand<asio::io_context::executor_type> strand;
  tcp::acceptor acceptor;
  tcp::endpoint endpoint;
  const ServerMetrics& metrics;
  std::set<beast::tcp_stream*> open;  // to close them all on Stop
  bool stopped = false;
};

namespace {

using Response = http::response<http::string_body>;

constexpr std::chrono::seconds kAdminLinger{1};
constexpr std::size_t kAdminLingerBytes = 64 * 1024;

Response Answer(http::status status, unsigned version, std::string body, const char* content_type = "text/plain") {
  Response response{status, version};
  response.set(http::field::content_type, content_type);
  response.set(http::field::cache_control, "no-store");
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

Response AnswerRequest(const http::request<http::empty_body>& request, const ServerMetrics& metrics) {
  std::string_view path(request.target().data(), request.target().size());
  path = path.substr(0, path.find('?'));
  const unsigned version = request.version();
  const bool healthz = path == "/healthz";
  if (!healthz && path != "/metrics") return Answer(http::status::not_found, version, "not found\n");
  const bool head = request.method() == http::verb::head;
  if (!head && request.method() != http::verb::get) {
    Response response = Answer(http::status::method_not_allowed, version, "method not allowed\n");
    response.set(http::field::allow, "GET, HEAD");
    return response;
  }
  Response response = healthz ? (metrics.draining() ? Answer(http::status::service_unavailable, version, "draining\n")
                                                    : Answer(http::status::ok, version, "ok\n"))
                              : Answer(http::status::ok, version, RenderMetrics(metrics.Snapshot()),
                                       kMetricsContentType);
  if (head) response.body().clear();  // the Content-Length stays that of the GET
  return response;
}

// A head the parser refused, as opposed to a connection that went away mid-head.
bool IsMalformed(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// Answers requests on one connection until it closes, a limit is hit or an answer ends it.
Task<void> ServeRequests(AdminEndpoint::State& state, beast::tcp_stream& stream) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::empty_body> parser;
    parser.header_limit(kAdminHeadLimit);
    stream.expires_after(kAdminTimeLimit);
    error_code ec;
    co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
    Response response;
    bool keep_alive = false;
    if (ec == http::error::header_limit) {
      response = Answer(http::status::request_header_fields_too_large, 11, "request head too large\n");
    } else if (ec && IsMalformed(ec)) {
      response = Answer(http::status::bad_request, 11, "bad request\n");
    } else if (ec) {
      co_return;  // gone, timed out or stopped: nobody to answer
    } else {
      response = AnswerRequest(parser.get(), state.metrics);
      // A body is never read, so the connection cannot go on after one.
      keep_alive = parser.get().keep_alive() && parser.is_done();
    }
    if (state.stopped) co_return;
    response.keep_alive(keep_alive);
    stream.expires_after(kAdminTimeLimit);
    co_await http::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
    if (ec || !keep_alive) break;
  }
  // What the client still sends (a body, the rest of an oversized head) is
  // read and dropped for a moment: closing with unread bytes would reset the
  // connection and could destroy the answer before the client read it.
  error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  stream.expires_after(kAdminLinger);
  std::array<char, 4096> sink;
  for (std::size_t drained = 0; drained < kAdminLingerBytes && !state.stopped;) {
    const std::size_t n =
        co_await stream.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    drained += n;
  }
  stream.close();
}

Task<void> Serve(std::shared_ptr<AdminEndpoint::State> state, std::shared_ptr<beast::tcp_stream> stream) {
  try {
    co_await ServeRequests(*state, *stream);
  } catch (const std::exception&) {
    // Out of memory and the like: this connection goes, the endpoint stays.
  }
  state->open.erase(stream.get());
}

Task<void> Accept(std::shared_ptr<AdminEndpoint::State> state) {
  while (!state->stopped) {
    error_code ec;
    tcp::socket socket =
        co_await state->acceptor.async_accept(state->strand, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      if (state->stopped || !state->acceptor.is_open()) break;
      // Out of descriptors and the like: try again shortly rather than spin.
      asio::steady_timer pause(state->strand, std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    if (state->open.size() >= kAdminConnectionLimit) {
      socket.close(ec);
      continue;
    }
    auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
    state->open.insert(stream.get());
    asio::co_spawn(state->strand, Serve(state, std::move(stream)), asio::detached);
  }
}

}  // namespace

AdminEndpoint::AdminEndpoint(asio::io_context& io, const ServerMetrics& metrics)
    : state_(std::make_shared<State>(io, metrics)) {}

AdminEndpoint::~AdminEndpoint() = default;

void AdminEndpoint::Start(const TargetAddress& address) {
  error_code ec;
  tcp::resolver resolver(state_->strand);
  const auto results = resolver.resolve(address.host, std::to_string(address.port),
                                        tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    throw std::runtime_error("cannot resolve the admin address " + address.host + ": " + ec.message());
  }
  const tcp::endpoint endpoint = results.begin()->endpoint();
  tcp::acceptor& acceptor = state_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);  // as the tunnel's
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen for admin requests on " + endpoint.address().to_string() + ":" +
                             std::to_string(endpoint.port()) + ": " + ec.message());
  }
  state_->endpoint = acceptor.local_endpoint();
  asio::co_spawn(state_->strand, Accept(state_), asio::detached);
}

tcp::endpoint AdminEndpoint::endpoint() const { return state_->endpoint; }

void AdminEndpoint::Stop() {
  asio::post(state_->strand, [state = state_] {
    state->stopped = true;
    error_code ec;
    state->acceptor.close(ec);
    for (beast::tcp_stream* stream : state->open) stream->close();
  });
}

}  // namespace korvan::server
