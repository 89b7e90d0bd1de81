// The compression server's answer to the account query, as the client
// judges it: any bytes give one of the outcomes, and a statistics block
// only from a reply that holds one whole.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <span>

#include "shell/account_query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const korvan::AccountReply reply = korvan::JudgeAccountReply(std::span<const std::uint8_t>(data, size));
  if (reply.outcome == korvan::AccountOutcome::kUpdated && size < korvan::kAccountReplySize) __builtin_trap();
  if (reply.text.size() > size) __builtin_trap();
  return 0;
}
