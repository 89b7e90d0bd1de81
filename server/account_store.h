// Where accounts live. The server talks to this interface only, so that a
// networked store can replace the embedded one.
//
// Implementations are safe to call from several threads at once. Calls are
// short (a single row) and may be made from the server's I/O threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/account.h"

namespace korvan::server {

// The store cannot be read or written (file missing, damaged, locked).
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One settlement of one connection's traffic, named for good by `key`: a
// store asked twice for the same key (a retry after an answer that was
// lost) applies it once.
struct ChargeRecord {
  std::int32_t id = 0;
  Traffic traffic;
  bool charge = true;  // take the tunnel bytes off the credit (not prepaid)
  std::string key;     // unique across servers and restarts
};

// How many connections of each account every server holds, shared by the
// servers of one store so that an account's limit holds across all of them.
// A server's leases live for the store's lease time unless renewed, so the
// connections of a server that died stop counting by themselves.
class LeaseStore {
 public:
  virtual ~LeaseStore() = default;
  // Records that `server` now holds `count` connections of account `id`,
  // when `count` plus the live leases of every other server stay within
  // `limit`; otherwise records nothing and returns false. Concurrent calls
  // for one account, from any server, are serialised by the store.
  virtual bool TryHold(std::int32_t id, const std::string& server, unsigned count, unsigned limit) = 0;
  // Replaces all of `server`'s leases with `counts` (accounts it no longer
  // holds are dropped) and renews them for another lease time.
  virtual void Renew(const std::string& server, const std::map<std::int32_t, unsigned>& counts) = 0;
  // Live connections of account `id` over every server.
  virtual unsigned Held(std::int32_t id) = 0;
  virtual std::chrono::seconds lease_time() const = 0;
};

class AccountStore {
 public:
  virtual ~AccountStore() = default;

  virtual std::optional<Account> Find(std::int32_t id) = 0;
  // False when an account with that number exists already.
  virtual bool Insert(const Account& account) = 0;
  // Replaces every field but the traffic totals; false when there is no such account.
  virtual bool Update(const Account& account) = 0;
  // The same but for the credit, which stays as the store has it: charges
  // that land between a read and this write still count.
  virtual bool UpdateDetails(const Account& account) = 0;
  // Adds `kib` (which may be negative) to the credit in the store; the
  // credit stops at zero. False when there is no such account.
  virtual bool AddCredit(std::int32_t id, double kib) = 0;
  virtual std::vector<Account> List() = 0;
  // Adds `traffic` to the account's totals and, when `charge` is set, takes
  // its tunnel bytes off the credit. One atomic step.
  // Credit never goes below zero.
  virtual void Charge(std::int32_t id, const Traffic& traffic, bool charge) = 0;
  // Applies every record whose key it has not applied before, all in one
  // transaction: on StoreError none of them was applied. Records of
  // accounts that do not exist are skipped.
  virtual void ApplyCharges(std::span<const ChargeRecord> records) = 0;
  // Shared connection counts, for a store that several servers use at
  // once; none for a store of one machine.
  virtual LeaseStore* leases() { return nullptr; }
};

}  // namespace korvan::server
