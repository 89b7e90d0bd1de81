#include "server/account.h"

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
