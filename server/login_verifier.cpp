#include "server/login_verifier.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace korvan::server {

namespace {

// Frees a MAC context on every path out.
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
using MacCtx = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;

}  // namespace

LoginVerifier::LoginVerifier(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {
  std::array<std::uint8_t, 32> key{};
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
    throw std::runtime_error("no random bytes for the login cache key");
  }
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  MacCtx ctx(mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr);
  EVP_MAC_free(mac);  // the context holds its own reference
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  const bool keyed = ctx && EVP_MAC_init(ctx.get(), key.data(), key.size(), params) == 1;
  OPENSSL_cleanse(key.data(), key.size());
  if (!keyed) throw std::runtime_error("HMAC-SHA-256 is not available");
  MutexLock lock(mutex_);
  mac_template_ = ctx.release();
}

LoginVerifier::~LoginVerifier() {
  MutexLock lock(mutex_);
  EVP_MAC_CTX_free(mac_template_);
}

LoginVerifier::Tag LoginVerifier::TagOf(std::int32_t id, const LoginSecret& secret, ProofView proof) const {
  MacCtx ctx;
  {
    MutexLock lock(mutex_);
    ctx.reset(EVP_MAC_CTX_dup(mac_template_));
  }
  // Every part has a fixed length, so their concatenation is unambiguous.
  std::array<std::uint8_t, 4 + kProofSize + 16 + 32 + 3 * 4> message{};
  auto at = message.begin();
  const auto put_int = [&](std::int64_t value) {
    for (int i = 0; i < 4; ++i) *at++ = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
  };
  put_int(id);
  at = std::copy(proof.begin(), proof.end(), at);
  at = std::copy(secret.salt.begin(), secret.salt.end(), at);
  at = std::copy(secret.hash.begin(), secret.hash.end(), at);
  put_int(secret.params.log2_n);
  put_int(secret.params.r);
  put_int(secret.params.p);
  Tag tag{};
  std::size_t size = 0;
  const bool ok = ctx && EVP_MAC_update(ctx.get(), message.data(), message.size()) == 1 &&
                  EVP_MAC_final(ctx.get(), tag.data(), &size, tag.size()) == 1 && size == tag.size();
  if (!ok) throw std::runtime_error("HMAC-SHA-256 failed");
  return tag;
}

bool LoginVerifier::Remembered(const Account& account, ProofView proof) const {
  if (!account.login) return false;
  const Tag tag = TagOf(account.id, *account.login, proof);
  MutexLock lock(mutex_);
  const auto it = tags_.find(account.id);
  return it != tags_.end() && CRYPTO_memcmp(it->second.data(), tag.data(), tag.size()) == 0;
}

bool LoginVerifier::Verify(const Account& account, ProofView proof) {
  if (!account.login) return false;
  const Tag tag = TagOf(account.id, *account.login, proof);
  {
    MutexLock lock(mutex_);
    const auto it = tags_.find(account.id);
    if (it != tags_.end() && CRYPTO_memcmp(it->second.data(), tag.data(), tag.size()) == 0) return true;
  }
  if (!VerifyLoginSecret(*account.login, proof)) return false;
  Remember(account.id, tag);
  return true;
}

void LoginVerifier::Remember(std::int32_t id, const Tag& tag) {
  MutexLock lock(mutex_);
  const auto [it, inserted] = tags_.insert_or_assign(id, tag);
  if (!inserted) return;  // the id keeps its place in the order
  order_.push_back(id);
  while (tags_.size() > capacity_) {
    tags_.erase(order_.front());
    order_.pop_front();
  }
}

std::size_t LoginVerifier::size() const {
  MutexLock lock(mutex_);
  return tags_.size();
}

}  // namespace korvan::server
