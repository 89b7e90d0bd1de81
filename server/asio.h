// The Boost.Asio and Beast names the server's asynchronous code uses.
// Everything asynchronous is a C++20 coroutine on the connection's strand.
#pragma once

// Boost 1.74's awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <chrono>

namespace korvan::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
template <class T>
using Task = asio::awaitable<T>;
using Clock = std::chrono::steady_clock;

// When the session last moved a byte in either direction.
struct Activity {
  Clock::time_point last = Clock::now();
  void Touch() { last = Clock::now(); }
};

}  // namespace korvan::server
