// A small tunnel client for the server's tests: sends the opening message
// and frames as the real client does, and takes the server's frames apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/frame_reader.h"
#include "wire/opening.h"
#include "wire/word_list.h"

namespace korvan::server::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes ToBytes(std::string_view text);
std::string ToString(const Bytes& bytes);

struct ControlMessage {
  std::uint8_t kind = 0;
  Bytes rest;  // the unpacked payload after the kind byte
  std::uint8_t flags = 0;  // the frame's, as it came
  std::string text() const { return ToString(rest); }
};

struct Login {
  std::int32_t id = 100000001;
  std::string password = "demo";
  std::uint8_t version = 2;
};

class TunnelClient {
 public:
  // Connects to 127.0.0.1:port. A small receive buffer makes back-pressure
  // reach the server quickly when the test stops reading.
  explicit TunnelClient(std::uint16_t port, bool small_receive_buffer = false);
  ~TunnelClient();
  TunnelClient(const TunnelClient&) = delete;
  TunnelClient& operator=(const TunnelClient&) = delete;

  static Bytes Opening(const Login& login, Protocol protocol, int timeout = 0, bool account_info = false);

  void SendRaw(const Bytes& bytes);
  // The opening message, and the data (if any) packed into one frame behind it, in one write.
  void Open(const Login& login, Protocol protocol, std::string_view first_data = {}, bool account_info = false);
  // Data packed into frames of at most 64511 bytes.
  void SendData(std::string_view data);

  // Reads until `done` holds, the server closes, or `limit` passes (a guard
  // against a hanging server, not a measured time). Returns done().
  bool ReadUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
  bool WaitForData(std::size_t bytes) { return ReadUntil([&] { return data.size() >= bytes; }); }
  bool WaitForControl(std::size_t count = 1) { return ReadUntil([&] { return controls.size() >= count; }); }
  bool WaitForClose() { return ReadUntil([&] { return closed; }); }
  // Reads without limit of size until the server closes; the raw bytes too.
  void CloseSending();

  const WordList& words() const { return *words_; }
  // What arrived, for failure messages.
  std::string Describe() const;

  // What arrived so far.
  std::string data;                     // unpacked data frames, joined
  std::vector<std::size_t> data_frames; // raw size of each data frame
  std::vector<ControlMessage> controls;
  Bytes raw;                            // every byte received
  std::size_t sent_bytes = 0;           // every byte sent
  bool closed = false;
  bool bad_frame = false;
  bool decode_frames = true;            // false for the account query's unframed reply

 private:
  void Take();

  int fd_ = -1;
  WordListPtr words_;
  ReceiveBuffer received_;
};

// The word list every test server and client packs with (version 2).
WordListPtr TestWords();

}  // namespace korvan::server::test
