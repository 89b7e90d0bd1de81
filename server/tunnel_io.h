// The two halves of a tunnel connection, as the server sees them.
//
// TunnelReader cuts the client's frames out of what arrives, unpacks data and
// notes the account-info request. It reads only while no complete frame is
// waiting, so it never holds more than one frame plus one read.
//
// TunnelWriter packs data into frames of at most 64511 raw bytes on the pack
// pool (a thorough deflate would stall the event loop) and writes one frame
// at a time: the next block is not taken before the previous one left, which
// is the back-pressure towards the target.
//
// Both belong to one session and run on its strand; neither is thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "server/account.h"
#include "server/asio.h"
#include "server/proxy_header.h"
#include "wire/frame_reader.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace korvan::server {

using Bytes = std::vector<std::uint8_t>;

class TunnelReader {
 public:
  TunnelReader(tcp::socket& socket, const WordList& words, Traffic& traffic, Activity& activity);

  // The balancer's header before the opening (see server/proxy_header.h);
  // nullopt when the peer leaves or `limit` passes first. Its bytes are the
  // balancer's, not the user's: they are not counted as traffic.
  Task<std::optional<ProxyHeader>> ReadProxyHeader(Clock::duration limit);
  // The opening message; nullopt when the client leaves before sending 15
  // bytes, or has not sent them within `limit` (timed_out() then holds).
  Task<std::optional<OpeningFields>> ReadOpening(Clock::duration limit);
  // Appends the next data bytes to `out` (at least one byte). False when the
  // client closed or sent a frame that cannot be unpacked.
  Task<bool> ReadData(Bytes& out);
  // Handles control frames complete at the front of what arrived, without reading.
  void TakeBufferedControl();
  // Called whenever the client asks for account information.
  void OnAccountInfoRequest(std::function<void()> handler) { on_account_info_ = std::move(handler); }
  bool protocol_error() const { return protocol_error_; }

  // Reads after `deadline` fail, and one waiting then is cut off; nullopt
  // lifts it. Setting or lifting it clears timed_out().
  void SetDeadline(std::optional<Clock::time_point> deadline);
  // Whether a read failed because the deadline passed.
  bool timed_out() const { return timed_out_; }

 private:
  Task<bool> ReadMore();

  tcp::socket& socket_;
  const WordList& words_;
  Traffic& traffic_;
  Activity& activity_;
  ReceiveBuffer received_;
  Bytes scratch_;
  std::function<void()> on_account_info_;
  bool protocol_error_ = false;
  std::optional<Clock::time_point> deadline_;
  asio::steady_timer deadline_timer_;
  bool timed_out_ = false;
};

class TunnelWriter {
 public:
  TunnelWriter(tcp::socket& socket, WordListPtr words, asio::thread_pool& pack_pool, int deflate_level,
               Traffic& traffic, Activity& activity);

  // Sends `raw` as data frames. Throws boost::system::system_error when the
  // client is gone.
  Task<void> SendData(std::span<const std::uint8_t> raw);
  // Sends bytes as they are (a ready frame, or the account query's reply).
  Task<void> SendBytes(std::span<const std::uint8_t> bytes);
  // The same after waiting `delay` on a timer (a refused login under
  // backoff), so that no thread waits. CancelPause() ends the wait early and
  // nothing is sent.
  Task<void> SendBytesAfter(Clock::duration delay, std::span<const std::uint8_t> bytes);
  void CancelPause();
  // Sends a control frame whose payload (kind byte first, at most
  // kMaxRawBlock bytes) is large enough to be worth packing like data: a
  // picture offered to the client costs the link no more than the picture.
  Task<void> SendPackedControl(Bytes payload);
  // A frame to send in front of the next write.
  void Owe(Bytes frame);
  // Sends owed frames now, if any.
  Task<void> FlushOwed();

 private:
  Task<void> Write(std::span<const std::uint8_t> bytes);

  tcp::socket& socket_;
  WordListPtr words_;
  asio::thread_pool& pack_pool_;
  int deflate_level_;
  Traffic& traffic_;
  Activity& activity_;
  Bytes owed_;
  asio::steady_timer pause_;
  bool pause_cancelled_ = false;
};

}  // namespace korvan::server
