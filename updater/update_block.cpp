#include "updater/update_block.h"

#include <zlib.h>

#include <algorithm>

namespace korvan {
namespace {

std::uint32_t ReadLittleEndian(std::string_view data, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i])) << (8 * i);
  }
  return value;
}

void AppendLittleEndian(std::string& out, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::optional<std::string> Inflate(std::string_view payload, std::uint32_t estimate, std::string* error) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    *error = "cannot start inflate";
    return std::nullopt;
  }
  std::string out;
  // The claimed size is only a first guess: a tiny container may claim
  // anything, so the buffer starts no larger than the payload could
  // plausibly unpack to and grows as the data really arrive.
  const std::size_t plausible = std::max<std::size_t>(payload.size() * 16, 65536);
  out.resize(std::clamp<std::size_t>(std::min<std::size_t>(estimate, plausible), 1, kMaxUpdateFileSize));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
  stream.avail_in = static_cast<uInt>(payload.size());
  std::size_t produced = 0;
  int status = Z_OK;
  for (;;) {
    if (produced == out.size()) {
      if (out.size() >= kMaxUpdateFileSize) {
        inflateEnd(&stream);
        *error = "the unpacked file exceeds " + std::to_string(kMaxUpdateFileSize >> 20) + " MiB";
        return std::nullopt;
      }
      out.resize(std::min(out.size() * 2, kMaxUpdateFileSize));
    }
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    stream.avail_out = static_cast<uInt>(out.size() - produced);
    status = inflate(&stream, Z_NO_FLUSH);
    produced = out.size() - stream.avail_out;
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && !(status == Z_BUF_ERROR && stream.avail_out == 0)) {
      inflateEnd(&stream);
      *error = status == Z_BUF_ERROR ? "the zlib stream ends early" : "the zlib stream is damaged";
      return std::nullopt;
    }
  }
  const bool trailing = stream.avail_in != 0;
  inflateEnd(&stream);
  if (trailing) {
    *error = "bytes follow the end of the zlib stream";
    return std::nullopt;
  }
  out.resize(produced);
  return out;
}

}  // namespace

std::optional<UpdateBlockHeader> ReadUpdateBlockHeader(std::string_view data) {
  if (data.empty()) return std::nullopt;
  UpdateBlockHeader header;
  header.flags = static_cast<std::uint8_t>(data[0]);
  const std::size_t length_size =
      (header.flags & kBlockLength4) == kBlockLength4 ? 4 : (header.flags & kBlockLength2) ? 2 : 1;
  const bool has_unpacked = (header.flags & kBlockUnpackedSize) != 0;
  header.header_size = 1 + length_size + (has_unpacked ? 4 : 0);
  if (data.size() < header.header_size) return std::nullopt;
  header.payload_size = ReadLittleEndian(data, 1, length_size);
  if (has_unpacked) header.unpacked_size = ReadLittleEndian(data, 1 + length_size, 4);
  return header;
}

std::optional<std::string> UnpackUpdateBlock(std::string_view body, std::string* error) {
  const auto header = ReadUpdateBlockHeader(body);
  if (!header) {
    *error = "the container's header is incomplete";
    return std::nullopt;
  }
  if (header->total_size() != body.size()) {
    *error = "the container holds " + std::to_string(header->total_size()) + " bytes, the download " +
             std::to_string(body.size());
    return std::nullopt;
  }
  const std::string_view payload = body.substr(header->header_size);
  std::optional<std::string> content;
  if (header->flags & kBlockDeflated) {
    content = Inflate(payload, header->unpacked_size, error);
    if (!content) return std::nullopt;
  } else {
    content.emplace(payload);
  }
  if (content->empty()) {
    *error = "the container is empty";
    return std::nullopt;
  }
  return content;
}

std::string PackUpdateBlock(std::string_view content) {
  uLongf packed_size = compressBound(static_cast<uLong>(content.size()));
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(content.data()), static_cast<uLong>(content.size()),
                Z_BEST_COMPRESSION) != Z_OK) {
    packed_size = content.size();  // cannot happen with a large enough buffer; store instead
  }
  packed.resize(packed_size);
  const bool deflate = packed.size() + 4 < content.size();
  const std::string_view payload = deflate ? std::string_view(packed) : content;
  std::uint8_t flags = deflate ? (kBlockDeflated | 0x20) : 0;
  std::size_t length_size = 1;
  if (payload.size() > 0xFFFF) {
    flags |= kBlockLength4;
    length_size = 4;
  } else if (payload.size() > 0xFF) {
    flags |= kBlockLength2;
    length_size = 2;
  }
  std::string block;
  block.reserve(9 + payload.size());
  block.push_back(static_cast<char>(flags));
  AppendLittleEndian(block, static_cast<std::uint32_t>(payload.size()), length_size);
  if (deflate) AppendLittleEndian(block, static_cast<std::uint32_t>(content.size()), 4);
  block.append(payload);
  return block;
}

}  // namespace korvan
