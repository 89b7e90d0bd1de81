#include "server/replies.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wire/frame_format.h"
#include "wire/frame_writer.h"

namespace korvan::server {

namespace {

void PutDouble(Bytes& out, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

double KiB(std::int64_t bytes) { return static_cast<double>(bytes) / 1024.0; }

}  // namespace

Bytes ControlFrame(std::uint8_t kind, std::span<const std::uint8_t> rest) {
  Bytes payload;
  payload.reserve(rest.size() + 1);
  payload.push_back(kind);
  const std::size_t room = kMaxRawBlock - 1;
  payload.insert(payload.end(), rest.begin(), rest.begin() + static_cast<long>(std::min(rest.size(), room)));
  return MakeFrame(tfControl, payload);
}

Bytes ControlFrame(std::uint8_t kind, std::string_view text) {
  return ControlFrame(kind, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                          text.size()));
}

Bytes FtpListingFrame(std::span<const std::uint8_t> payload) { return ControlFrame(ckFtpListing, payload); }

Bytes CountOnlyFrames(std::uint64_t size) {
  size = std::min(size, kMaxCountedBytes);
  Bytes frames;
  while (size > 0) {
    const auto piece = static_cast<std::uint16_t>(std::min<std::uint64_t>(size, 0xFFFF));
    const std::uint8_t rest[2] = {static_cast<std::uint8_t>(piece & 0xFF), static_cast<std::uint8_t>(piece >> 8)};
    const Bytes frame = ControlFrame(ckCountOnly, rest);
    frames.insert(frames.end(), frame.begin(), frame.end());
    size -= piece;
  }
  return frames;
}

Bytes AccountInfoFrame(const Account& account) {
  Bytes rest;
  PutDouble(rest, WireDate(account.prepaid_until));
  PutDouble(rest, WireDate(account.valid_until));
  PutDouble(rest, account.credit_kib);
  rest.push_back(account.further_byte);
  return ControlFrame(ckAccountInfo, rest);
}

Bytes AccountQueryReply(const Account& account) {
  Bytes reply;
  reply.reserve(kAccountQueryReplySize);
  reply.push_back(0);
  PutDouble(reply, KiB(account.totals.sent_raw));
  PutDouble(reply, KiB(account.totals.sent_wire));
  PutDouble(reply, KiB(account.totals.received_raw));
  PutDouble(reply, KiB(account.totals.received_wire));
  PutDouble(reply, account.credit_kib);
  PutDouble(reply, WireDate(account.prepaid_until));
  PutDouble(reply, WireDate(account.valid_until));
  reply.push_back(account.further_byte);
  return reply;
}

}  // namespace korvan::server
