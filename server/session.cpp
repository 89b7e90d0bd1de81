#include "server/session.h"

#include "server/log.h"
#include "server/replies.h"
#include "server/service.h"
#include "wire/frame_format.h"

namespace korvan::server {

namespace {

constexpr std::chrono::seconds kWatchTick{1};
// Traffic is settled every tick: it only joins the charge queue, and a
// server that dies loses at most this last second of it. The credit, which
// asks the store, is looked at every few ticks.
constexpr int kCreditTicks = 5;
// A request within this time of the last look at the store, and with less
// than this much traffic since, is judged by that look: a write to the store
// per request would cost more than the request itself. The credit can thus
// be overrun by at most this many bytes per connection.
constexpr std::chrono::milliseconds kCreditRecheck{1000};
constexpr std::int64_t kCreditRecheckBytes = 64 * 1024;
constexpr std::chrono::seconds kDrainLimit{2};
constexpr std::size_t kDrainBytes = 1 << 20;
constexpr const char* kStoreUnreachableText =
    "The account service cannot be reached just now. Please try again in a minute.";

std::string PeerName(const tcp::socket& socket) {
  error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  return ec ? std::string("?") : peer.address().to_string();
}

asio::ip::address PeerAddress(const tcp::socket& socket) {
  error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  return ec ? asio::ip::address() : peer.address();
}

}  // namespace

std::chrono::seconds IdleLimitFor(std::uint8_t timeout_nibble) {
  const unsigned n = timeout_nibble & 0x0F;
  return n == 0 ? kDefaultIdleLimit : std::chrono::seconds(100 * n);
}

Session::Session(tcp::socket socket, ServerShared& shared, std::optional<PendingRegistry::Claim> pending)
    : socket_(std::move(socket)),
      shared_(shared),
      name_("client " + PeerName(socket_)),
      meter_(shared.metrics),
      reader_(socket_, *shared.words, traffic_, activity_),
      writer_(socket_, shared.words, shared.pack_pool, shared.config.deflate_level, traffic_, activity_),
      watch_timer_(socket_.get_executor()),
      pending_(std::move(pending)),
      peer_address_(PeerAddress(socket_)) {
  shared_.metrics.ConnectionOpened();
}

Session::~Session() {
  // Traffic must be paid for even when the server stops mid-conversation.
  try {
    Settle();
  } catch (const StoreError&) {
    shared_.metrics.CountError(ServerError::kStore);
  } catch (...) {
  }
  // Last: a drain waits for this, and the traffic is settled by now.
  shared_.metrics.ConnectionClosed();
}

void Session::Start() {
  auto self = shared_from_this();
  asio::co_spawn(socket_.get_executor(), Watch(), asio::detached);
  asio::co_spawn(socket_.get_executor(), Run(), [self](std::exception_ptr) {});
}

void Session::Close() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->CloseNow(); });
}

void Session::CloseNow() {
  closed_ = true;
  error_code ec;
  socket_.close(ec);
  writer_.CancelPause();
  if (target_ != nullptr) target_->close();
  if (abort_work_) abort_work_();
}

Task<void> Session::Run() {
  auto self = shared_from_this();
  bool store_failed_at_login = false;
  try {
    co_await Serve();
  } catch (const boost::system::system_error&) {
    // The client went away; nothing to answer.
  } catch (const StoreError& e) {
    Log(name_ + ": " + e.what());
    shared_.metrics.CountError(ServerError::kStore);
    store_failed_at_login = !account_ && !account_query_;
  }
  if (store_failed_at_login) {
    // The user learns why, rather than seeing the connection just drop.
    try {
      co_await writer_.SendBytes(ControlFrame(ckStatusText, kStoreUnreachableText));
    } catch (const boost::system::system_error&) {
    }
  }
  pending_.reset();
  co_await Finish();
  Settle();
  claim_.reset();
  ended_ = true;
  watch_timer_.cancel();
}

Task<void> Session::Watch() {
  auto self = shared_from_this();
  int ticks = 0;
  while (!ended_) {
    watch_timer_.expires_after(kWatchTick);
    error_code ec;
    co_await watch_timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ended_ || closed_) break;
    if (Clock::now() - activity_.last > idle_limit_) {
      CloseNow();
      break;
    }
    if (++ticks % kCreditTicks != 0) {
      Settle();
      continue;
    }
    if (account_ && !co_await StillHasCreditOffLoop()) {
      Log(name_ + ": credit exhausted, connection closed");
      CloseNow();
      break;
    }
  }
}

Task<void> Session::Finish() {
  if (closed_) co_return;
  error_code ec;
  socket_.shutdown(tcp::socket::shutdown_send, ec);
  // Read what the client still sends until it closes: closing with unread
  // bytes would reset the connection and could destroy our last frames.
  idle_limit_ = kDrainLimit;
  activity_.Touch();
  std::array<std::uint8_t, 4096> sink;
  std::size_t drained = 0;
  while (!closed_ && drained < kDrainBytes) {
    const std::size_t n =
        co_await socket_.async_read_some(asio::buffer(sink), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    drained += n;
  }
  closed_ = true;
  socket_.close(ec);
}

void Session::Settle() {
  meter_.Report(traffic_);
  if (!account_) return;
  const Traffic delta = traffic_ - settled_;
  if (delta.empty()) return;
  settled_ = traffic_;
  shared_.charges.Add(account_->id, delta, charge_);
  if (charge_) shared_.metrics.AddCharged(delta.wire_bytes());
}

bool Session::RequestMayProceed() {
  const auto now = Clock::now();
  if (account_ && now - last_credit_check_ < kCreditRecheck &&
      (traffic_ - settled_).wire_bytes() < kCreditRecheckBytes) {
    return last_credit_verdict_;
  }
  last_credit_verdict_ = StillHasCredit();
  last_credit_check_ = now;
  return last_credit_verdict_;
}

bool Session::StillHasCredit() {
  try {
    Settle();
    return JudgeCredit(shared_.store.Find(account_->id));
  } catch (const StoreError& e) {
    return KeepGoingWithoutStore(e);
  }
}

Task<bool> Session::StillHasCreditOffLoop() {
  Settle();
  const std::int32_t id = account_->id;
  AccountStore& store = shared_.store;
  try {
    co_return JudgeCredit(co_await OffLoop([&store, id] { return store.Find(id); }));
  } catch (const StoreError& e) {
    co_return KeepGoingWithoutStore(e);
  }
}

bool Session::JudgeCredit(const std::optional<Account>& account) {
  if (!account) return false;
  const Date today = TodayUtc();
  charge_ = !IsPrepaid(*account, today);
  account_ = account;
  return HasCredit(*account, today) && !IsExpired(*account, today);
}

bool Session::KeepGoingWithoutStore(const StoreError& e) {
  // A store that cannot be read must not cut running connections.
  Log(name_ + ": " + e.what());
  shared_.metrics.CountError(ServerError::kStore);
  return true;
}

template <typename Work>
auto Session::OffLoop(Work work) -> Task<decltype(work())> {
  using Result = decltype(work());
  // A store of one machine answers from its file at once, as it always has;
  // one that several servers share waits on the network.
  if (shared_.store.leases() == nullptr) co_return work();
  co_return co_await asio::co_spawn(
      shared_.store_pool.get_executor(), [work = std::move(work)]() -> Task<Result> { co_return work(); },
      asio::use_awaitable);
}

Task<bool> Session::TakeBalancerHeader() {
  const auto header = co_await reader_.ReadProxyHeader(shared_.config.opening_timeout);
  if (!header || header->outcome != ProxyHeader::Outcome::kDone) {
    if (header || reader_.timed_out()) Log(name_ + ": no valid PROXY header from the balancer, closed");
    CloseNow();
    co_return false;
  }
  if (header->source) {
    peer_address_ = *header->source;
    if (peer_address_.is_v6() && peer_address_.to_v6().is_v4_mapped()) {
      peer_address_ = peer_address_.to_v6().to_v4();
    }
    name_ = "client " + peer_address_.to_string();
  }
  auto claim = shared_.pending.TryClaim(peer_address_, shared_.config.max_pending_per_address);
  if (!claim) {
    shared_.metrics.CountError(ServerError::kRefusedPendingLimit);
    CloseNow();
    co_return false;
  }
  pending_.emplace(std::move(*claim));  // Claim moves, but is not assigned
  co_return true;
}

Task<void> Session::Serve() {
  if (shared_.config.proxy_protocol && !co_await TakeBalancerHeader()) co_return;
  const auto opening = co_await reader_.ReadOpening(shared_.config.opening_timeout);
  if (!opening) {
    if (reader_.timed_out()) {
      Log(name_ + ": no opening message within " + std::to_string(shared_.config.opening_timeout.count()) +
          " s, closed");
      pending_.reset();  // before the client can see the close
      CloseNow();
    }
    co_return;
  }
  name_ = "account " + std::to_string(opening->user_id) + " from " + peer_address_.to_string();
  meter_.SetService(opening->protocol());

  if (opening->protocol() == static_cast<std::uint8_t>(Protocol::kAccountQuery)) {
    co_await ServeAccountQuery(*opening);
    co_return;
  }
  if (!co_await Admit(*opening)) co_return;
  pending_.reset();
  shared_.metrics.SessionAdmitted();

  idle_limit_ = IdleLimitFor(opening->timeout());
  reader_.OnAccountInfoRequest([this] {
    if (const auto fresh = shared_.store.Find(account_->id)) writer_.Owe(AccountInfoFrame(*fresh));
  });
  reader_.TakeBufferedControl();
  co_await writer_.FlushOwed();
  co_await RunService(*opening);
}

Task<void> Session::ServeAccountQuery(const OpeningFields& opening) {
  account_query_ = true;
  AccountStore& store = shared_.store;
  const std::int32_t id = opening.user_id;
  const auto account = co_await OffLoop([&store, id] { return store.Find(id); });
  if (!account || !co_await ProofOpens(*account, opening)) {
    Log(name_ + ": account query with a wrong number or password");
    shared_.metrics.LoginRefused(LoginRefusal::kPassword);
    co_await SendLoginFailure(opening.user_id, kAccountQueryLoginFailed);
    co_return;
  }
  co_await writer_.SendBytes(AccountQueryReply(*account));
}

Task<bool> Session::ProofOpens(const Account& account, const OpeningFields& opening) {
  if (shared_.login_verifier.Remembered(account, opening.password_digest)) co_return true;
  LoginVerifier& verifier = shared_.login_verifier;
  co_return co_await asio::co_spawn(
      shared_.pack_pool.get_executor(),
      [&verifier, &account, &opening]() -> Task<bool> { co_return verifier.Verify(account, opening.password_digest); },
      asio::use_awaitable);
}

Task<void> Session::SendLoginFailure(std::int32_t account, std::span<const std::uint8_t> answer) {
  // Only the answer waits, on a timer: the check itself was not slowed, so
  // the right password gets in at once. The connection still counts as
  // pending meanwhile, which bounds the waiting guesses of one address.
  co_await writer_.SendBytesAfter(shared_.login_backoff.RecordFailure(account, peer_address_), answer);
}

Task<bool> Session::Admit(const OpeningFields& opening) {
  AccountStore& store = shared_.store;
  const std::int32_t id = opening.user_id;
  const auto account = co_await OffLoop([&store, id] { return store.Find(id); });
  if (!account || !co_await ProofOpens(*account, opening)) {
    Log(name_ + ": wrong account number or password");
    shared_.metrics.LoginRefused(LoginRefusal::kPassword);
    co_await SendLoginFailure(opening.user_id, ControlFrame(ckLoginFailed));
    co_return false;
  }
  const std::uint8_t ours = shared_.words->version();
  if (opening.word_list_version != ours) {
    Log(name_ + ": word list version " + std::to_string(opening.word_list_version) + " refused");
    shared_.metrics.LoginRefused(LoginRefusal::kWordList);
    co_await writer_.SendBytes(ControlFrame(
        ckStatusText, "The server packs with word list version " + std::to_string(ours) + ", this client with version " +
                          std::to_string(opening.word_list_version) + ". Install the word list of version " +
                          std::to_string(ours) + "."));
    co_return false;
  }
  const Date today = TodayUtc();
  if (IsExpired(*account, today)) {
    Log(name_ + ": account expired");
    shared_.metrics.LoginRefused(LoginRefusal::kExpired);
    Bytes answer = ControlFrame(ckStatusText, "Account " + std::to_string(account->id) + " was valid until " +
                                                  FormatDate(*account->valid_until) + ".");
    const Bytes no_credit = ControlFrame(ckNoCredit);
    answer.insert(answer.end(), no_credit.begin(), no_credit.end());
    co_await writer_.SendBytes(answer);
    co_return false;
  }
  if (!HasCredit(*account, today)) {
    Log(name_ + ": no credit");
    shared_.metrics.LoginRefused(LoginRefusal::kNoCredit);
    co_await writer_.SendBytes(ControlFrame(ckNoCredit));
    co_return false;
  }
  ConnectionRegistry& registry = shared_.registry;
  const unsigned limit = shared_.config.max_account_connections;
  // Shared with other servers, the claim asks the store.
  auto claim = co_await OffLoop([&registry, id, limit] { return registry.TryClaim(id, limit); });
  if (!claim) {
    Log(name_ + ": too many connections");
    shared_.metrics.LoginRefused(LoginRefusal::kTooManyConnections);
    co_await writer_.SendBytes(ControlFrame(ckTooManyConnections));
    co_return false;
  }
  claim_.emplace(std::move(*claim));
  account_ = account;
  charge_ = !IsPrepaid(*account, today);
  co_return true;
}

Task<void> Session::RunService(const OpeningFields& opening) {
  const std::uint8_t protocol = opening.protocol();
  ServiceContext context{
      socket_.get_executor(),
      reader_,
      writer_,
      shared_.config,
      TargetPolicy{shared_.config.allow_private},
      [this] { return RequestMayProceed(); },
      [this](beast::tcp_stream* target) { target_ = target; },
      [this] {
        error_code ec;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
      },
      name_,
      SteeringChoices::FromOpening(opening.picture_compression, opening.filter_word),
      shared_.pack_pool.get_executor(),
      &shared_.ftp_pool,
      [this](std::function<void()> abort) { abort_work_ = std::move(abort); },
  };
  switch (static_cast<Protocol>(protocol)) {
    case Protocol::kHttp:
      co_await RunHttpProxy(context);
      break;
    case Protocol::kTcpIp:
      co_await RunPortMapping(context);
      break;
    case Protocol::kSocks4:
      co_await RunSocks4(context);
      break;
    case Protocol::kSmtp:
      co_await RunSmtp(context);
      break;
    default:
      Log(name_ + ": unknown service " + std::to_string(protocol));
      co_await writer_.SendBytes(
          ControlFrame(ckStatusText, "The server offers no service " + std::to_string(protocol) + "."));
      break;
  }
}

}  // namespace korvan::server
