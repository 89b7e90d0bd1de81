// What an account keeps of its password: a salted scrypt hash of the five
// proof bytes the client sends in its opening message (the first five bytes
// of the password's MD5). Neither the password nor its MD5 is kept, so a
// copy of the account file gives no login short of guessing proofs through
// scrypt, one account and one salt at a time.
//
// The parameters travel with each secret so that they can be raised later:
// old secrets keep verifying with theirs, new ones get the new default.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace korvan::server {

inline constexpr std::size_t kProofSize = 5;
using LoginProof = std::array<std::uint8_t, kProofSize>;
using ProofView = std::span<const std::uint8_t, kProofSize>;

struct ScryptParams {
  int log2_n = 0;  // N = 2^log2_n
  int r = 0;
  int p = 0;
  bool operator==(const ScryptParams&) const = default;
};

// N = 2048, r = 8, p = 1: about 3 to 5 ms and 2 MiB per verification on
// one core of the development machine. A verification that hits the login
// cache (LoginVerifier) costs none of it.
inline constexpr ScryptParams kDefaultScrypt{11, 8, 1};

// What the server is willing to run for a stored secret: a damaged or
// hostile row must not make a login allocate gigabytes or spin for minutes.
bool ScryptParamsAcceptable(const ScryptParams& params);

struct LoginSecret {
  std::array<std::uint8_t, 16> salt{};
  std::array<std::uint8_t, 32> hash{};
  ScryptParams params;
  bool operator==(const LoginSecret&) const = default;
};

// The proof a client sends for `password`: the client's own function, so
// that the two cannot drift apart.
LoginProof ProofOfPassword(std::string_view password);

// A secret with a fresh random salt. Throws std::runtime_error when the
// random source or scrypt fails, or the parameters are not acceptable.
LoginSecret MakeLoginSecret(ProofView proof, const ScryptParams& params = kDefaultScrypt);

// The slow check. False for a wrong proof and for parameters that are not
// acceptable; the comparison takes the same time whatever bytes differ.
bool VerifyLoginSecret(const LoginSecret& secret, ProofView proof);

}  // namespace korvan::server
