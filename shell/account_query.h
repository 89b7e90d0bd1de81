// The account query behind the statistics page's `_UpdateInfo` button: a
// short connection of its own to the compression server (directly, or
// through the parent proxy's CONNECT tunnel, opened as a worker opens its
// tunnel) that sends the 15-byte opening message with service byte 4 and
// reads back the account's statistics block.
//
// The reply is collected until its 58 bytes are there, the server closes or
// five seconds have passed, so a reply that a slow link delivers in pieces
// still counts. An error reply (first byte not 0) is collected until the
// server closes or falls silent for a second.
//
// Thread rule: QueryAccount blocks and runs on a thread of its own;
// AccountQuery is created, started, cancelled and destroyed on the main
// thread, and hands its result to the main loop, where `done` runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "shell/platform_services.h"
#include "shell/statistics_block.h"
#include "shell/working_settings.h"
#include "tunnel/session_opening.h"

namespace korvan {

inline constexpr std::size_t kAccountReplySize = 1 + kStatisticsBlockSize;
inline constexpr std::uint32_t kAccountReplyTimeoutMs = 5000;
inline constexpr std::uint32_t kAccountErrorSilenceMs = 1000;

// The settings of the query, copied on the main thread.
OpeningInputs AccountQueryInputs(const WorkingSettings& working);

enum class AccountOutcome {
  kUpdated,       // `block` holds the server's statistics
  kInvalidUser,   // the reply 0C 01 67
  kServerText,    // `text` holds what the server said (may be empty)
  kNoConnection,  // neither server nor parent proxy took the request
};

struct AccountReply {
  AccountOutcome outcome = AccountOutcome::kNoConnection;
  StatisticsBlock block;
  std::string text;
  // For the chart: the request as sent and the reply as received.
  bool sent = false;
  std::uint32_t send_tick = 0;
  std::size_t request_size = 0;
  std::uint32_t receive_tick = 0;
  std::size_t reply_size = 0;
};

// Judges a complete reply.
AccountReply JudgeAccountReply(std::span<const std::uint8_t> reply);

// Opens the connection, sends the request and collects the reply; blocks
// for up to the time limits. Stops early, with kNoConnection, once
// `cancelled` is set.
AccountReply QueryAccount(const OpeningInputs& inputs, Network& network, Clock& clock,
                          const std::atomic<bool>& cancelled);

// One query at a time on a thread of its own.
class AccountQuery {
 public:
  using Done = std::function<void(const AccountReply&)>;

  AccountQuery(MainLoop& loop, Network& network, Clock& clock);
  // Cancels a running query.
  ~AccountQuery();
  AccountQuery(const AccountQuery&) = delete;
  AccountQuery& operator=(const AccountQuery&) = delete;

  // Starts a query; `done` runs later on the main loop, unless the query was
  // cancelled first. False (and nothing started) while one runs.
  bool Start(OpeningInputs inputs, Done done);
  // True from Start until `done` has run or the query was cancelled.
  bool running() const { return running_; }
  // Drops a running query: `done` will not run. Waits a moment for the
  // thread; one still blocked in a connect is left to end by itself: it
  // then posts nothing and touches neither the loop nor the form.
  void Cancel();

 private:
  struct Shared;

  MainLoop& loop_;
  Network& network_;
  Clock& clock_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  bool running_ = false;
};

}  // namespace korvan
