#include "server/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "wire/opening.h"

namespace korvan::server {

namespace {

constexpr std::uint64_t kMaxScryptMemory = 64ull << 20;

// scrypt needs about 128 * r * (N + p) bytes; OpenSSL refuses to go past
// the limit it is given, so the limit is that plus some slack.
std::uint64_t ScryptMemory(const ScryptParams& params) {
  return 128ull * static_cast<std::uint64_t>(params.r) *
         ((std::uint64_t{1} << params.log2_n) + static_cast<std::uint64_t>(params.p) + 2);
}

bool Derive(const LoginSecret& secret, ProofView proof, std::span<std::uint8_t> out) {
  const ScryptParams& params = secret.params;
  return EVP_PBE_scrypt(reinterpret_cast<const char*>(proof.data()), proof.size(), secret.salt.data(),
                        secret.salt.size(), std::uint64_t{1} << params.log2_n, static_cast<std::uint64_t>(params.r),
                        static_cast<std::uint64_t>(params.p), ScryptMemory(params) + (1u << 20), out.data(),
                        out.size()) == 1;
}

}  // namespace

bool ScryptParamsAcceptable(const ScryptParams& params) {
  if (params.log2_n < 1 || params.log2_n > 24 || params.r < 1 || params.r > 64 || params.p < 1 || params.p > 16) {
    return false;
  }
  return ScryptMemory(params) <= kMaxScryptMemory;
}

LoginProof ProofOfPassword(std::string_view password) { return PasswordDigestPrefix(password); }

LoginSecret MakeLoginSecret(ProofView proof, const ScryptParams& params) {
  if (!ScryptParamsAcceptable(params)) throw std::runtime_error("scrypt parameters out of range");
  LoginSecret secret;
  secret.params = params;
  if (RAND_bytes(secret.salt.data(), static_cast<int>(secret.salt.size())) != 1) {
    throw std::runtime_error("no random bytes for a salt");
  }
  if (!Derive(secret, proof, secret.hash)) throw std::runtime_error("scrypt failed");
  return secret;
}

bool VerifyLoginSecret(const LoginSecret& secret, ProofView proof) {
  if (!ScryptParamsAcceptable(secret.params)) return false;
  std::array<std::uint8_t, 32> derived{};
  if (!Derive(secret, proof, derived)) return false;
  const bool same = CRYPTO_memcmp(derived.data(), secret.hash.data(), derived.size()) == 0;
  OPENSSL_cleanse(derived.data(), derived.size());
  return same;
}

}  // namespace korvan::server
