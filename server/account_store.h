// Where accounts live. The server talks to this interface only, so that a
// networked store can replace the embedded one.
//
// Implementations are safe to call from several threads at once. Calls are
// short (a single row) and may be made from the server's I/O threads.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "server/account.h"

namespace korvan::server {

// The store cannot be read or written (file missing, damaged, locked).
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AccountStore {
 public:
  virtual ~AccountStore() = default;

  virtual std::optional<Account> Find(std::int32_t id) = 0;
  // False when an account with that number exists already.
  virtual bool Insert(const Account& account) = 0;
  // Replaces every field but the traffic totals; false when there is no such account.
  virtual bool Update(const Account& account) = 0;
  virtual std::vector<Account> List() = 0;
  // Adds `traffic` to the account's totals and, when `charge` is set, takes
  // its tunnel bytes off the credit. One atomic step.
  virtual void Charge(std::int32_t id, const Traffic& traffic, bool charge) = 0;
};

}  // namespace korvan::server
