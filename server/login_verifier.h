// Checks the proof of a tunnel connection's opening against the account's
// stored secret, remembering the logins it has verified: the client opens a
// connection for every request it carries, and the slow check (scrypt) must
// not run for each.
//
// Per account it keeps a keyed hash (HMAC-SHA-256 under a key drawn when the
// verifier is made and never stored) of the proof together with the stored
// secret it was verified against. A login is a hit only when the same proof
// arrives for the same stored secret, so a password changed in the store
// (new salt, new hash) misses by itself and is checked slowly again; nothing
// has to invalidate entries. A failed proof is never remembered. The entries
// are bounded; past the bound the oldest one goes.
//
// Thread rule: Verify and size may be called from any thread. `mutex_`
// guards the entries and the MAC template; the slow check runs without it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/account.h"
#include "server/password_hash.h"

struct evp_mac_ctx_st;  // OpenSSL's EVP_MAC_CTX

namespace korvan::server {

class LoginVerifier {
 public:
  static constexpr std::size_t kDefaultCapacity = 4096;

  // Throws std::runtime_error when OpenSSL has no HMAC-SHA-256 or no random bytes.
  explicit LoginVerifier(std::size_t capacity = kDefaultCapacity);
  ~LoginVerifier();
  LoginVerifier(const LoginVerifier&) = delete;
  LoginVerifier& operator=(const LoginVerifier&) = delete;

  // True when `proof` opens `account` as the store gave it. An account
  // without a secret is never opened.
  bool Verify(const Account& account, ProofView proof) KORVAN_EXCLUDES(mutex_);
  // True when this very login was verified before: the fast half of Verify,
  // for callers that run the slow half elsewhere.
  bool Remembered(const Account& account, ProofView proof) const KORVAN_EXCLUDES(mutex_);

  // How many logins are remembered.
  std::size_t size() const KORVAN_EXCLUDES(mutex_);

 private:
  using Tag = std::array<std::uint8_t, 32>;

  Tag TagOf(std::int32_t id, const LoginSecret& secret, ProofView proof) const KORVAN_EXCLUDES(mutex_);
  void Remember(std::int32_t id, const Tag& tag) KORVAN_EXCLUDES(mutex_);

  const std::size_t capacity_;
  mutable Mutex mutex_;
  // Keyed once; each tag is computed on a copy.
  evp_mac_ctx_st* mac_template_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  std::unordered_map<std::int32_t, Tag> tags_ KORVAN_GUARDED_BY(mutex_);
  std::deque<std::int32_t> order_ KORVAN_GUARDED_BY(mutex_);  // oldest first, each id once
};

}  // namespace korvan::server
