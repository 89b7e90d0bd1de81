#include "server/relay.h"

#include <memory>

#include "wire/frame_format.h"

namespace korvan::server {

Task<bool> ReadTargetBlock(beast::tcp_stream& target, Bytes& block) {
  block.resize(kMaxRawBlock);
  std::size_t filled = 0;
  error_code ec;
  do {
    filled += co_await target.async_read_some(asio::buffer(block.data() + filled, block.size() - filled),
                                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
  } while (filled < block.size() && target.socket().available(ec) > 0 && !ec);
  block.resize(filled);
  co_return filled > 0;
}

namespace {

// Target to client, on its own coroutine.
Task<void> Downstream(ServiceContext& context, beast::tcp_stream& target) {
  Bytes block;
  try {
    while (co_await ReadTargetBlock(target, block)) co_await context.writer.SendData(block);
    context.finish_sending();
  } catch (const boost::system::system_error&) {
    // The client is gone; the caller closes both sides.
  }
}

}  // namespace

Task<void> Relay(ServiceContext& context, beast::tcp_stream& target, Bytes to_target) {
  // The downstream coroutine signals its end through this timer.
  auto done = std::make_shared<asio::steady_timer>(context.executor, Clock::time_point::max());
  auto finished = std::make_shared<bool>(false);
  asio::co_spawn(context.executor, Downstream(context, target), [done, finished](std::exception_ptr) {
    *finished = true;
    done->cancel();
  });

  error_code ec;
  if (!to_target.empty()) co_await asio::async_write(target, asio::buffer(to_target), asio::redirect_error(asio::use_awaitable, ec));
  Bytes data;
  while (!ec) {
    data.clear();
    if (!co_await context.reader.ReadData(data)) break;
    co_await asio::async_write(target, asio::buffer(data), asio::redirect_error(asio::use_awaitable, ec));
  }
  // One side ended: end the other too, then wait for the downstream to finish.
  target.close();
  if (!*finished) co_await done->async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

}  // namespace korvan::server
