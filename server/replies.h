// The fixed answers the server sends: control frames and the account query
// reply. Pure functions.
//
// Every control frame goes out unpacked (flag tfControl only): the client
// reads the sizes of some kinds from the payload as it arrived, and a client
// with another word list can still read a status text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "server/account.h"

namespace korvan::server {

using Bytes = std::vector<std::uint8_t>;

// A control frame: the kind byte followed by `rest` (at most 64510 bytes; longer is cut).
Bytes ControlFrame(std::uint8_t kind, std::span<const std::uint8_t> rest = {});
Bytes ControlFrame(std::uint8_t kind, std::string_view text);

// ckFtpListing around a payload of BuildListingPayload (ftp_listing.h).
Bytes FtpListingFrame(std::span<const std::uint8_t> payload);

// Frames that count content the server dropped, so that the client's
// statistics count what the user did not have to download.
// At most this much is counted for one object: a Content-Length that lies
// costs the tunnel at most about 20 KB of frames.
inline constexpr std::uint64_t kMaxCountedBytes = 256ull << 20;
// ckCountOnly frames (kind, 16-bit LE size) whose sizes add up to `size`
// (clamped to kMaxCountedBytes); none for 0.
Bytes CountOnlyFrames(std::uint64_t size);

// ckAccountInfo: prepaid-until and valid-until dates, then the credit in KiB
// in the eight bytes the client leaves unread, then the further byte.
Bytes AccountInfoFrame(const Account& account);

inline constexpr std::size_t kAccountQueryReplySize = 58;
// 0, then the client's statistics block: the four totals and the credit in
// KiB, the two dates, the further byte.
Bytes AccountQueryReply(const Account& account);
// Sent, unframed, for a wrong number or password on the account query.
inline constexpr std::uint8_t kAccountQueryLoginFailed[] = {0x0C, 0x01, 0x67};

}  // namespace korvan::server
