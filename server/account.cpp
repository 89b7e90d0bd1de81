#include "server/account.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace korvan::server {

Traffic& Traffic::operator+=(const Traffic& other) {
  sent_raw += other.sent_raw;
  sent_wire += other.sent_wire;
  received_raw += other.received_raw;
  received_wire += other.received_wire;
  return *this;
}

Traffic Traffic::operator-(const Traffic& other) const {
  return {sent_raw - other.sent_raw, sent_wire - other.sent_wire, received_raw - other.received_raw,
          received_wire - other.received_wire};
}

std::array<std::uint8_t, 16> PasswordMd5(std::span<const std::uint8_t> password) {
  std::array<std::uint8_t, 16> digest{};
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(password.data(), password.size(), out, &size, EVP_md5(), nullptr) != 1 || size != 16) {
    throw std::runtime_error("MD5 is not available");
  }
  std::copy_n(out, digest.size(), digest.begin());
  return digest;
}

bool PasswordMatches(const Account& account, std::span<const std::uint8_t, 5> digest_prefix) {
  return std::equal(digest_prefix.begin(), digest_prefix.end(), account.password_md5.begin());
}

bool IsPrepaid(const Account& account, const Date& today) {
  return account.prepaid_until && today <= *account.prepaid_until;
}

bool IsExpired(const Account& account, const Date& today) {
  return account.valid_until && today > *account.valid_until;
}

bool HasCredit(const Account& account, const Date& today) {
  return IsPrepaid(account, today) || account.credit_kib > 0;
}

}  // namespace korvan::server
