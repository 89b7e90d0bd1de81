#include "server/tunnel_io.h"

#include <array>

#include "server/client_frames.h"
#include "server/deflate_stage.h"
#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan::server {

namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kInlinePackBytes = 4096;
constexpr int kInlineDeflateLevel = 9;

Task<Bytes> PackOnPool(WordListPtr words, Bytes raw, int deflate_level, bool control = false) {
  co_return PackFrame(*words, raw, tfDeflate | tfWords, control, &ThreadDeflateStage(deflate_level));
}

}  // namespace

TunnelReader::TunnelReader(tcp::socket& socket, const WordList& words, Traffic& traffic, Activity& activity)
    : socket_(socket),
      words_(words),
      traffic_(traffic),
      activity_(activity),
      scratch_(kMaxUnpackedBlock),
      deadline_timer_(socket.get_executor()) {}

void TunnelReader::SetDeadline(std::optional<Clock::time_point> deadline) {
  deadline_ = deadline;
  timed_out_ = false;
  deadline_timer_.cancel();
}

Task<bool> TunnelReader::ReadMore() {
  if (deadline_) {
    if (Clock::now() >= *deadline_) {
      timed_out_ = true;
      co_return false;
    }
    // Runs on the session's strand like the read. It looks at the deadline
    // itself: a wait that expired just as the read completed must not cut
    // off a later read under another deadline.
    deadline_timer_.expires_at(*deadline_);
    deadline_timer_.async_wait([this](const error_code& ec) {
      if (ec || !deadline_ || Clock::now() < *deadline_) return;
      timed_out_ = true;
      error_code ignored;
      socket_.cancel(ignored);
    });
  }
  std::array<std::uint8_t, kReadChunk> chunk;
  error_code ec;
  const std::size_t n =
      co_await socket_.async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
  if (deadline_) deadline_timer_.cancel();
  if (ec || n == 0) co_return false;
  traffic_.sent_wire += static_cast<std::int64_t>(n);
  activity_.Touch();
  received_.Append(std::span<const std::uint8_t>(chunk.data(), n));
  co_return true;
}

Task<std::optional<ProxyHeader>> TunnelReader::ReadProxyHeader(Clock::duration limit) {
  SetDeadline(Clock::now() + limit);
  for (;;) {
    ProxyHeader header = ParseProxyHeader(received_.data());
    if (header.outcome == ProxyHeader::Outcome::kBad) co_return header;
    if (header.outcome == ProxyHeader::Outcome::kDone) {
      SetDeadline(std::nullopt);
      received_.Consume(header.size);
      traffic_.sent_wire -= static_cast<std::int64_t>(header.size);
      co_return header;
    }
    if (received_.size() >= kProxyHeaderMost || !co_await ReadMore()) co_return std::nullopt;
  }
}

Task<std::optional<OpeningFields>> TunnelReader::ReadOpening(Clock::duration limit) {
  SetDeadline(Clock::now() + limit);
  while (received_.size() < kOpeningSize) {
    if (!co_await ReadMore()) co_return std::nullopt;  // the deadline stays: nothing more is read
  }
  SetDeadline(std::nullopt);
  const auto opening = ParseOpening(received_.data());
  received_.Consume(kOpeningSize);
  co_return opening;
}

void TunnelReader::TakeBufferedControl() {
  Bytes none;
  for (;;) {
    FrameView frame;
    if (!PeekFrame(received_.data(), frame) || !(frame.flags & tfControl)) return;
    const ClientFrame taken = TakeClientFrame(words_, received_.data(), none, scratch_.data());
    if (taken.kind == ClientFrameKind::kBad) {
      protocol_error_ = true;
      return;
    }
    if (taken.kind == ClientFrameKind::kAccountInfoRequest && on_account_info_) on_account_info_();
    received_.Consume(taken.consumed);
  }
}

Task<bool> TunnelReader::ReadData(Bytes& out) {
  if (protocol_error_) co_return false;
  for (;;) {
    const std::size_t before = out.size();
    const ClientFrame taken = TakeClientFrame(words_, received_.data(), out, scratch_.data());
    switch (taken.kind) {
      case ClientFrameKind::kIncomplete:
        if (!co_await ReadMore()) co_return false;
        continue;
      case ClientFrameKind::kBad:
        protocol_error_ = true;
        co_return false;
      case ClientFrameKind::kAccountInfoRequest:
        if (on_account_info_) on_account_info_();
        break;
      case ClientFrameKind::kIgnoredControl:
      case ClientFrameKind::kData:
        break;
    }
    received_.Consume(taken.consumed);
    const std::size_t added = out.size() - before;
    traffic_.sent_raw += static_cast<std::int64_t>(added);
    if (added > 0) co_return true;
  }
}

TunnelWriter::TunnelWriter(tcp::socket& socket, WordListPtr words, asio::thread_pool& pack_pool, int deflate_level,
                           Traffic& traffic, Activity& activity)
    : socket_(socket),
      words_(std::move(words)),
      pack_pool_(pack_pool),
      deflate_level_(deflate_level),
      traffic_(traffic),
      activity_(activity),
      pause_(socket.get_executor()) {}

void TunnelWriter::Owe(Bytes frame) { owed_.insert(owed_.end(), frame.begin(), frame.end()); }

Task<void> TunnelWriter::Write(std::span<const std::uint8_t> bytes) {
  const std::array<asio::const_buffer, 2> buffers = {asio::buffer(owed_), asio::buffer(bytes.data(), bytes.size())};
  const std::size_t total = owed_.size() + bytes.size();
  co_await asio::async_write(socket_, buffers, asio::use_awaitable);
  owed_.clear();
  traffic_.received_wire += static_cast<std::int64_t>(total);
  activity_.Touch();
}

Task<void> TunnelWriter::FlushOwed() {
  if (!owed_.empty()) co_await Write({});
}

Task<void> TunnelWriter::SendBytes(std::span<const std::uint8_t> bytes) { co_await Write(bytes); }

Task<void> TunnelWriter::SendBytesAfter(Clock::duration delay, std::span<const std::uint8_t> bytes) {
  if (delay > Clock::duration::zero() && !pause_cancelled_) {
    pause_.expires_after(delay);
    error_code ec;
    co_await pause_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  if (pause_cancelled_) co_return;
  co_await Write(bytes);
}

void TunnelWriter::CancelPause() {
  pause_cancelled_ = true;
  pause_.cancel();
}

Task<void> TunnelWriter::SendPackedControl(Bytes payload) {
  const std::size_t size = payload.size();
  const Bytes frame = co_await asio::co_spawn(
      pack_pool_.get_executor(), PackOnPool(words_, std::move(payload), deflate_level_, true), asio::use_awaitable);
  co_await Write(frame);
  traffic_.received_raw += static_cast<std::int64_t>(size);
}

Task<void> TunnelWriter::SendData(std::span<const std::uint8_t> raw) {
  while (!raw.empty()) {
    const std::size_t count = std::min(raw.size(), kMaxRawBlock);
    Bytes frame;
    if (count <= kInlinePackBytes) {
      // A small block packs in microseconds: the trip to the pool and back
      // would cost more than it saves. The thorough levels only pay off on
      // large blocks, and their set-up cost would dominate here.
      frame = PackFrame(*words_, raw.first(count), tfDeflate | tfWords, false,
                        &ThreadDeflateStage(std::min(deflate_level_, kInlineDeflateLevel)));
    } else {
      Bytes block(raw.begin(), raw.begin() + static_cast<long>(count));
      frame = co_await asio::co_spawn(pack_pool_.get_executor(), PackOnPool(words_, std::move(block), deflate_level_),
                                      asio::use_awaitable);
    }
    co_await Write(frame);
    traffic_.received_raw += static_cast<std::int64_t>(count);
    raw = raw.subspan(count);
  }
}

}  // namespace korvan::server
