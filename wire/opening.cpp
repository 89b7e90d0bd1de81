#include "wire/opening.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace korvan {

std::array<std::uint8_t, 5> PasswordDigestPrefix(std::string_view password) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(password.data(), password.size(), digest, &size, EVP_md5(), nullptr) != 1 || size < 5) {
    throw std::runtime_error("MD5 is not available");
  }
  std::array<std::uint8_t, 5> prefix{};
  std::copy_n(digest, prefix.size(), prefix.begin());
  return prefix;
}

LoginBlock MakeLoginBlock(std::int32_t user_id, std::string_view password, std::uint8_t word_list_version,
                          std::uint8_t host_identity) {
  LoginBlock block{};
  const auto id = static_cast<std::uint32_t>(user_id);
  for (int i = 0; i < 4; ++i) block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id >> (8 * i));
  const auto digest = PasswordDigestPrefix(password);
  std::copy(digest.begin(), digest.end(), block.begin() + 4);
  block[9] = word_list_version;
  block[10] = host_identity;
  return block;
}

std::uint8_t MakePictureCompressionByte(int gif_level, int jpeg_level) {
  const int gif = std::clamp(gif_level, 0, 15);
  const int jpeg = std::clamp(jpeg_level, 0, 15);
  return static_cast<std::uint8_t>(gif << 4 | jpeg);
}

std::uint8_t MakeServiceByte(Protocol protocol, int timeout) {
  return static_cast<std::uint8_t>(std::clamp(timeout, 0, 15) << 4 | static_cast<int>(protocol));
}

std::vector<std::uint8_t> BuildOpening(const LoginBlock& login, std::uint8_t picture_compression,
                                       std::uint16_t filter_word, std::uint8_t service_byte,
                                       bool account_info_wanted) {
  std::vector<std::uint8_t> opening(login.begin(), login.end());
  opening.push_back(picture_compression);
  opening.push_back(static_cast<std::uint8_t>(filter_word));
  opening.push_back(static_cast<std::uint8_t>(filter_word >> 8));
  opening.push_back(service_byte);
  if (account_info_wanted) opening.insert(opening.end(), kAccountInfoRequest.begin(), kAccountInfoRequest.end());
  return opening;
}

std::optional<OpeningFields> ParseOpening(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kOpeningSize) return std::nullopt;
  OpeningFields f;
  std::uint32_t id = 0;
  for (int i = 0; i < 4; ++i) id |= static_cast<std::uint32_t>(bytes[static_cast<std::size_t>(i)]) << (8 * i);
  f.user_id = static_cast<std::int32_t>(id);
  std::copy_n(bytes.begin() + 4, 5, f.password_digest.begin());
  f.word_list_version = bytes[9];
  f.host_identity = bytes[10];
  f.picture_compression = bytes[11];
  f.filter_word = static_cast<std::uint16_t>(bytes[12] | (bytes[13] << 8));
  f.service_byte = bytes[14];
  return f;
}

}  // namespace korvan
