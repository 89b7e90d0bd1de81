#include "shell/account_query.h"

#include <algorithm>
#include <chrono>

#include "common/mutex.h"
#include "wire/opening.h"

namespace korvan {
namespace {

constexpr std::array<std::uint8_t, 3> kInvalidUserReply = {0x0C, 0x01, 0x67};
// Reads wait this long at most, so that a cancel is seen soon.
constexpr std::uint32_t kReadSliceMs = 100;
// A server's error text is not allowed to grow without bound.
constexpr std::size_t kMaxErrorReply = 4096;

}  // namespace

OpeningInputs AccountQueryInputs(const WorkingSettings& w) {
  OpeningInputs in;
  in.protocol = Protocol::kAccountQuery;
  in.timeout = 0;
  in.login = w.login_block;
  in.picture_compression = w.picture_compression;
  in.filter_word = w.filter_word;
  in.account_info_wanted = false;  // the query is the request itself
  in.server_address = w.server_address;
  in.server_port = static_cast<std::uint16_t>(w.server_port);
  in.use_parent_proxy = w.use_parent_proxy;
  in.parent_host = w.parent_proxy_address;
  in.parent_port = w.parent_proxy_port;
  in.parent_user = w.parent_proxy_user;
  in.parent_password = w.parent_proxy_password;
  return in;
}

AccountReply JudgeAccountReply(std::span<const std::uint8_t> reply) {
  AccountReply result;
  result.reply_size = reply.size();
  if (reply.size() == kAccountReplySize && reply[0] == 0) {
    if (auto block = ParseStatistics(reply.subspan(1))) {
      result.outcome = AccountOutcome::kUpdated;
      result.block = *block;
      return result;
    }
  }
  if (std::ranges::equal(reply, kInvalidUserReply)) {
    result.outcome = AccountOutcome::kInvalidUser;
    return result;
  }
  result.outcome = AccountOutcome::kServerText;
  if (reply.size() > 1) result.text.assign(reply.begin() + 1, reply.end());
  return result;
}

AccountReply QueryAccount(const OpeningInputs& inputs, Network& network, Clock& clock,
                          const std::atomic<bool>& cancelled) {
  AccountReply none;
  OpeningPlan plan = PrepareOpeningPlan(inputs);
  TunnelConnection tunnel = ConnectTunnel(plan, network, clock);
  if (!tunnel.socket || cancelled) return none;
  StreamSocket& socket = *tunnel.socket;

  const std::uint32_t send_tick = clock.TickCount();
  if (!socket.Write(plan.opening)) return none;

  // Bytes behind the proxy's answer are already the server's.
  std::vector<std::uint8_t> reply = std::move(tunnel.early_bytes);
  std::uint32_t last_arrival = clock.TickCount();
  std::uint8_t buffer[1024];
  for (;;) {
    const bool good_so_far = !reply.empty() && reply[0] == 0;
    if (good_so_far && reply.size() >= kAccountReplySize) break;
    if (reply.size() >= kMaxErrorReply) break;
    const std::uint32_t now = clock.TickCount();
    const std::uint32_t elapsed = TicksSince(now, send_tick);
    if (elapsed >= kAccountReplyTimeoutMs) break;
    // An error reply has no fixed length: its end is the close, or silence.
    if (!reply.empty() && !good_so_far && TicksSince(now, last_arrival) >= kAccountErrorSilenceMs) break;
    if (cancelled) return none;

    socket.SetTimeout(std::min(kReadSliceMs, kAccountReplyTimeoutMs - elapsed));
    // A good reply is read up to its 58 bytes and no further.
    const std::size_t want = good_so_far ? kAccountReplySize - reply.size() : sizeof buffer;
    const long n = socket.Read(buffer, std::min(want, sizeof buffer));
    if (n == 0) break;  // the server closed: the reply is complete
    if (n < 0) {
      // A read that ends well before its time-out is an error, not silence.
      if (TicksSince(clock.TickCount(), now) + 10 < std::min(kReadSliceMs, kAccountReplyTimeoutMs - elapsed)) break;
      continue;
    }
    reply.insert(reply.end(), buffer, buffer + n);
    last_arrival = clock.TickCount();
  }
  if (reply.size() > kAccountReplySize && reply[0] == 0) reply.resize(kAccountReplySize);

  AccountReply result = JudgeAccountReply(reply);
  result.sent = true;
  result.send_tick = send_tick;
  result.request_size = plan.opening.size();
  result.receive_tick = last_arrival;
  return result;
}

// What the query thread and the main thread share. `mutex` orders the
// thread's hand-over against a cancel, so that a cancelled query never
// posts to a loop that may be gone.
struct AccountQuery::Shared {
  std::atomic<bool> cancelled{false};
  Mutex mutex;
  CondVar ended_cv;
  bool ended KORVAN_GUARDED_BY(mutex) = false;
};

AccountQuery::AccountQuery(MainLoop& loop, Network& network, Clock& clock)
    : loop_(loop), network_(network), clock_(clock) {}

AccountQuery::~AccountQuery() { Cancel(); }

bool AccountQuery::Start(OpeningInputs inputs, Done done) {
  if (running_) return false;
  if (thread_.joinable()) thread_.join();  // the last one has posted and ends now
  running_ = true;
  shared_ = std::make_shared<Shared>();
  // The hand-over holds the shared state, not this: the posted work may
  // run after a Cancel.
  auto finish = [this, done = std::move(done)](const AccountReply& reply) {
    running_ = false;
    done(reply);
  };
  thread_ = std::thread([shared = shared_, inputs = std::move(inputs), finish = std::move(finish), &loop = loop_,
                         &network = network_, &clock = clock_] {
    AccountReply reply = QueryAccount(inputs, network, clock, shared->cancelled);
    MutexLock lock(shared->mutex);
    if (!shared->cancelled) {
      loop.Post([shared, finish, reply = std::move(reply)] {
        if (!shared->cancelled) finish(reply);
      });
    }
    shared->ended = true;
    shared->ended_cv.NotifyAll();
  });
  return true;
}

void AccountQuery::Cancel() {
  running_ = false;
  if (!shared_) return;
  bool ended = false;
  {
    MutexLock lock(shared_->mutex);
    shared_->cancelled = true;
    // Reads give up within a tenth of a second; only a connect may block
    // longer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!shared_->ended && shared_->ended_cv.WaitUntil(shared_->mutex, deadline)) {
    }
    ended = shared_->ended;
  }
  if (thread_.joinable()) {
    if (ended) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  shared_.reset();
}

}  // namespace korvan
