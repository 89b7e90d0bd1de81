// Taking the client's frames apart: one complete frame at the front of the
// received bytes becomes data for the target or a request of the client.
// A pure function over untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wire/word_list.h"

namespace korvan::server {

enum class ClientFrameKind {
  kIncomplete,          // wait for more bytes
  kData,                // unpacked bytes were appended
  kAccountInfoRequest,  // the 0C 01 6B request
  kIgnoredControl,      // a control frame the server has no use for
  kBad,                 // cannot be unpacked: the connection must end
};

struct ClientFrame {
  ClientFrameKind kind = ClientFrameKind::kIncomplete;
  std::size_t consumed = 0;  // bytes of the frame, to drop from the front
};

// Looks at the frame at the front of `buffered`. Data is unpacked with
// `words` and appended to `data`; `scratch` holds kMaxUnpackedBlock bytes.
ClientFrame TakeClientFrame(const WordList& words, std::span<const std::uint8_t> buffered,
                            std::vector<std::uint8_t>& data, std::uint8_t* scratch);

}  // namespace korvan::server
