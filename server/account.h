// One account of the service and the traffic a connection charges to it.
#pragma once

#include <cstdint>
#include <optional>

#include "server/dates.h"
#include "server/password_hash.h"

namespace korvan::server {

inline constexpr std::int32_t kMinAccountId = 100000000;
inline constexpr std::int32_t kMaxAccountId = 999999999;

// Bytes as the client's statistics count them: "sent" is what the client's
// users sent (raw = before packing, wire = as it crossed the tunnel),
// "received" what they got back.
struct Traffic {
  std::int64_t sent_raw = 0;
  std::int64_t sent_wire = 0;
  std::int64_t received_raw = 0;
  std::int64_t received_wire = 0;

  Traffic& operator+=(const Traffic& other);
  Traffic operator-(const Traffic& other) const;
  bool empty() const { return sent_raw == 0 && sent_wire == 0 && received_raw == 0 && received_wire == 0; }
  // What crosses the tunnel, which is what credit pays for.
  std::int64_t wire_bytes() const { return sent_wire + received_wire; }
};

struct Account {
  std::int32_t id = 0;
  std::optional<LoginSecret> login;  // none: no proof opens the account
  double credit_kib = 0;
  std::optional<Date> prepaid_until;  // through this day traffic is not charged
  std::optional<Date> valid_until;    // after this day the account is refused
  std::uint8_t further_byte = 0;      // carried to the client as is
  Traffic totals;
};

bool IsPrepaid(const Account& account, const Date& today);
bool IsExpired(const Account& account, const Date& today);
// May the account open a connection that carries traffic today?
bool HasCredit(const Account& account, const Date& today);

}  // namespace korvan::server
