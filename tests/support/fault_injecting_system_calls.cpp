#include "tests/support/fault_injecting_system_calls.h"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace korvan::test {
namespace {

constexpr CallSet kSocketCalls = Call::kSocket | Call::kConnect | Call::kRecv | Call::kSend | Call::kShutdown |
                                 Call::kSetSockOpt | Call::kGetSockOpt | Call::kGetSockName | Call::kGetPeerName;

int Refused(int error) {
  errno = error;
  return -1;
}

// Absolute and without "." or "..", and without a trailing separator, so
// that folders and paths compare component by component.
std::filesystem::path Normal(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path result = std::filesystem::absolute(path, ec).lexically_normal();
  if (ec) result = path.lexically_normal();
  if (result.has_relative_path() && !result.has_filename()) result = result.parent_path();
  return result;
}

bool IsUnder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::filesystem::path normal = Normal(path);
  auto p = normal.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (p == normal.end() || *p != *f) return false;
  }
  return true;
}

}  // namespace

Scope Scope::Under(const std::filesystem::path& folder) {
  Scope scope(Kind::kUnder);
  scope.folder_ = Normal(folder);
  return scope;
}

Scope Scope::Descriptor(int fd) {
  Scope scope(Kind::kDescriptor);
  scope.fd_ = fd;
  return scope;
}

// ---- Rules -----------------------------------------------------------------

FaultInjectingSystemCalls::RuleId FaultInjectingSystemCalls::AddRule(Rule rule) {
  const MutexLock lock(mutex_);
  rules_.push_back(std::move(rule));
  return rules_.size() - 1;
}

FaultInjectingSystemCalls::RuleId FaultInjectingSystemCalls::Interrupt(CallSet calls, std::size_t every, Scope scope,
                                                                       std::size_t times) {
  if (calls.empty() || !calls.subset_of(CallSet::Interruptible())) {
    throw std::invalid_argument("the kernel does not interrupt these calls with EINTR");
  }
  if (every == 0 || times == 0) throw std::invalid_argument("an interruption needs every >= 1 and times >= 1");
  Rule rule{.kind = RuleKind::kInterrupt, .calls = calls, .scope = std::move(scope)};
  rule.every = every;
  rule.times_left = times;
  return AddRule(std::move(rule));
}

FaultInjectingSystemCalls::RuleId FaultInjectingSystemCalls::LimitTransfers(CallSet calls, std::size_t max_bytes,
                                                                            Scope scope) {
  if (calls.empty() || !calls.subset_of(CallSet::Transfers())) {
    throw std::invalid_argument("only reads and writes can be cut short");
  }
  if (max_bytes == 0) throw std::invalid_argument("a transfer limit of 0 bytes would look like the end of a file");
  Rule rule{.kind = RuleKind::kLimit, .calls = calls, .scope = std::move(scope)};
  rule.max_bytes = max_bytes;
  return AddRule(std::move(rule));
}

FaultInjectingSystemCalls::RuleId FaultInjectingSystemCalls::FillDisk(Scope scope, std::size_t budget) {
  Rule rule{.kind = RuleKind::kDisk, .calls = Call::kWrite, .scope = std::move(scope)};
  rule.budget_left = budget;
  return AddRule(std::move(rule));
}

FaultInjectingSystemCalls::RuleId FaultInjectingSystemCalls::Fail(CallSet calls, int error, Scope scope,
                                                                  std::size_t times) {
  if (calls.empty() || error <= 0 || times == 0) {
    throw std::invalid_argument("a failure needs calls, an errno and times >= 1");
  }
  Rule rule{.kind = RuleKind::kFail, .calls = calls, .scope = std::move(scope)};
  rule.error = error;
  rule.times_left = times;
  return AddRule(std::move(rule));
}

void FaultInjectingSystemCalls::Remove(RuleId rule) {
  const MutexLock lock(mutex_);
  rules_.at(rule).active = false;
}

void FaultInjectingSystemCalls::Clear() {
  const MutexLock lock(mutex_);
  for (Rule& rule : rules_) rule.active = false;
}

std::size_t FaultInjectingSystemCalls::Hits(RuleId rule) const {
  const MutexLock lock(mutex_);
  return rules_.at(rule).hits;
}

std::size_t FaultInjectingSystemCalls::Hits(RuleId rule, Call call) const {
  const MutexLock lock(mutex_);
  return rules_.at(rule).hits_by_call[static_cast<std::size_t>(call)];
}

std::size_t FaultInjectingSystemCalls::Injected() const {
  const MutexLock lock(mutex_);
  std::size_t total = 0;
  for (const Rule& rule : rules_) total += rule.hits;
  return total;
}

// ---- Matching --------------------------------------------------------------

bool FaultInjectingSystemCalls::IsSocket(int fd) {
  struct stat info {};
  return fd >= 0 && target_.Fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

bool FaultInjectingSystemCalls::IsRegularFile(int fd) {
  struct stat info {};
  return fd >= 0 && target_.Fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool FaultInjectingSystemCalls::Tracked(int fd, const std::filesystem::path& folder) const {
  const auto it = opened_.find(fd);
  return it != opened_.end() && IsUnder(it->second, folder);
}

void FaultInjectingSystemCalls::Track(int fd, const char* path) {
  std::filesystem::path normal = Normal(path);
  const MutexLock lock(mutex_);
  opened_[fd] = std::move(normal);
}

bool FaultInjectingSystemCalls::TrackedAmongPolled(const Subject& subject, const std::filesystem::path& folder) const {
  for (nfds_t i = 0; i < subject.count; ++i) {
    if (Tracked(subject.fds[i].fd, folder)) return true;
  }
  return false;
}

bool FaultInjectingSystemCalls::Matches(const Rule& rule, RuleKind wanted, Call call, const Subject& subject) {
  return rule.active && rule.kind == wanted && rule.calls.contains(call) && InScope(rule.scope, call, subject);
}

bool FaultInjectingSystemCalls::InScope(const Scope& scope, Call call, const Subject& subject) {
  const auto any_polled = [&](const auto& test) {
    for (nfds_t i = 0; i < subject.count; ++i) {
      if (test(subject.fds[i].fd)) return true;
    }
    return false;
  };
  switch (scope.kind_) {
    case Scope::Kind::kAnything:
      return true;
    case Scope::Kind::kDescriptor:
      return subject.fd == scope.fd_ || any_polled([&](int fd) { return fd == scope.fd_; });
    case Scope::Kind::kUnder:
      return (subject.path != nullptr && IsUnder(subject.path, scope.folder_)) ||
             (subject.other_path != nullptr && IsUnder(subject.other_path, scope.folder_)) ||
             Tracked(subject.fd, scope.folder_) || TrackedAmongPolled(subject, scope.folder_);
    case Scope::Kind::kSockets:
      return kSocketCalls.contains(call) || IsSocket(subject.fd) || any_polled([&](int fd) { return IsSocket(fd); });
  }
  return false;
}

FaultInjectingSystemCalls::Verdict FaultInjectingSystemCalls::Decide(Call call, const Subject& subject,
                                                                     std::size_t size) {
  const auto index = static_cast<std::size_t>(call);
  ++seen_[index];
  Verdict verdict;
  verdict.size = size;
  const MutexLock lock(mutex_);
  const auto hit = [index](Rule& rule) {
    ++rule.hits;
    ++rule.hits_by_call[index];
  };
  const auto spend = [&hit](Rule& rule) {
    hit(rule);
    if (rule.times_left != kNoEnd && --rule.times_left == 0) rule.active = false;
  };

  for (Rule& rule : rules_) {
    if (!Matches(rule, RuleKind::kFail, call, subject)) continue;
    spend(rule);
    verdict.error = rule.error;
    return verdict;
  }
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    Rule& rule = rules_[i];
    if (!Matches(rule, RuleKind::kInterrupt, call, subject) || rule.matched[index]++ % rule.every != 0) continue;
    spend(rule);
    verdict.error = EINTR;
    verdict.interrupt_rule = i;
    return verdict;
  }
  if (size == 0) return verdict;
  for (Rule& rule : rules_) {
    if (!Matches(rule, RuleKind::kLimit, call, subject) || verdict.size <= rule.max_bytes) continue;
    hit(rule);
    verdict.size = rule.max_bytes;
  }
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    Rule& rule = rules_[i];
    if (!Matches(rule, RuleKind::kDisk, call, subject) || !IsRegularFile(subject.fd)) continue;
    if (rule.budget_left == 0) {
      hit(rule);
      verdict.error = ENOSPC;
      return verdict;
    }
    if (verdict.size > rule.budget_left) {
      hit(rule);
      verdict.size = rule.budget_left;
    }
    // Taken now, given back in Settle, so that threads writing at the same
    // time cannot spend the same bytes twice.
    rule.budget_left -= verdict.size;
    verdict.disk_rule = i;
    verdict.reserved = verdict.size;
    break;
  }
  return verdict;
}

void FaultInjectingSystemCalls::Settle(const Verdict& verdict, ssize_t moved) {
  if (verdict.disk_rule == kNoEnd) return;
  const std::size_t used = moved > 0 ? std::min(static_cast<std::size_t>(moved), verdict.reserved) : 0;
  const int saved = errno;
  {
    const MutexLock lock(mutex_);
    rules_[verdict.disk_rule].budget_left += verdict.reserved - used;
  }
  errno = saved;
}

ssize_t FaultInjectingSystemCalls::Transfer(Call call, int fd, std::size_t size, const auto& make_call) {
  const Verdict verdict = Decide(call, Subject{.fd = fd}, size);
  if (verdict.error != 0) return Refused(verdict.error);
  const ssize_t moved = make_call(verdict.size);
  Settle(verdict, moved);
  return moved;
}

// ---- Files -----------------------------------------------------------------

int FaultInjectingSystemCalls::Open(const char* path, int flags, mode_t mode) {
  if (const int error = Decide(Call::kOpen, Subject{.path = path}, 0).error) return Refused(error);
  const int fd = target_.Open(path, flags, mode);
  if (fd >= 0) Track(fd, path);
  return fd;
}

int FaultInjectingSystemCalls::Close(int fd) {
  const int error = Decide(Call::kClose, Subject{.fd = fd}, 0).error;
  {
    // Forgotten before the real close: once that returns, another thread may
    // be handed the same number.
    const MutexLock lock(mutex_);
    opened_.erase(fd);
    for (Rule& rule : rules_) {
      if (rule.scope.kind_ == Scope::Kind::kDescriptor && rule.scope.fd_ == fd) rule.active = false;
    }
  }
  const int result = target_.Close(fd);
  return error != 0 ? Refused(error) : result;
}

ssize_t FaultInjectingSystemCalls::Read(int fd, void* buffer, std::size_t size) {
  return Transfer(Call::kRead, fd, size, [&](std::size_t n) { return target_.Read(fd, buffer, n); });
}

ssize_t FaultInjectingSystemCalls::Write(int fd, const void* bytes, std::size_t size) {
  return Transfer(Call::kWrite, fd, size, [&](std::size_t n) { return target_.Write(fd, bytes, n); });
}

int FaultInjectingSystemCalls::Fsync(int fd) {
  if (const int error = Decide(Call::kFsync, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Fsync(fd);
}

int FaultInjectingSystemCalls::Fchmod(int fd, mode_t mode) {
  if (const int error = Decide(Call::kFchmod, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Fchmod(fd, mode);
}

int FaultInjectingSystemCalls::Fstat(int fd, struct stat* info) {
  if (const int error = Decide(Call::kFstat, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Fstat(fd, info);
}

int FaultInjectingSystemCalls::Ftruncate(int fd, off_t length) {
  if (const int error = Decide(Call::kFtruncate, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Ftruncate(fd, length);
}

off_t FaultInjectingSystemCalls::Lseek(int fd, off_t offset, int whence) {
  if (const int error = Decide(Call::kLseek, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Lseek(fd, offset, whence);
}

int FaultInjectingSystemCalls::Flock(int fd, int operation) {
  if (const int error = Decide(Call::kFlock, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Flock(fd, operation);
}

int FaultInjectingSystemCalls::Mkostemp(char* path_template, int flags) {
  if (const int error = Decide(Call::kMkostemp, Subject{.path = path_template}, 0).error) return Refused(error);
  const int fd = target_.Mkostemp(path_template, flags);
  if (fd >= 0) Track(fd, path_template);
  return fd;
}

int FaultInjectingSystemCalls::Rename(const char* from, const char* to) {
  if (const int error = Decide(Call::kRename, Subject{.path = from, .other_path = to}, 0).error) {
    return Refused(error);
  }
  return target_.Rename(from, to);
}

int FaultInjectingSystemCalls::Unlink(const char* path) {
  if (const int error = Decide(Call::kUnlink, Subject{.path = path}, 0).error) return Refused(error);
  return target_.Unlink(path);
}

// ---- Sockets ---------------------------------------------------------------

int FaultInjectingSystemCalls::Socket(int domain, int type, int protocol) {
  if (const int error = Decide(Call::kSocket, Subject{}, 0).error) return Refused(error);
  return target_.Socket(domain, type, protocol);
}

int FaultInjectingSystemCalls::Connect(int fd, const sockaddr* address, socklen_t length) {
  const Verdict verdict = Decide(Call::kConnect, Subject{.fd = fd}, 0);
  if (verdict.error != 0 && verdict.interrupt_rule == kNoEnd) return Refused(verdict.error);
  const int result = target_.Connect(fd, address, length);
  if (verdict.interrupt_rule == kNoEnd) return result;
  if (result == 0) return Refused(EINTR);
  // The connect failed by itself before any signal could matter: that is
  // what the caller sees, and the rule has injected nothing.
  const int saved = errno;
  {
    const MutexLock lock(mutex_);
    Rule& rule = rules_[verdict.interrupt_rule];
    --rule.hits;
    --rule.hits_by_call[static_cast<std::size_t>(Call::kConnect)];
    if (rule.times_left != kNoEnd && rule.times_left++ == 0) rule.active = true;
  }
  errno = saved;
  return result;
}

ssize_t FaultInjectingSystemCalls::Recv(int fd, void* buffer, std::size_t size, int flags) {
  return Transfer(Call::kRecv, fd, size, [&](std::size_t n) { return target_.Recv(fd, buffer, n, flags); });
}

ssize_t FaultInjectingSystemCalls::Send(int fd, const void* bytes, std::size_t size, int flags) {
  return Transfer(Call::kSend, fd, size, [&](std::size_t n) { return target_.Send(fd, bytes, n, flags); });
}

int FaultInjectingSystemCalls::Shutdown(int fd, int how) {
  if (const int error = Decide(Call::kShutdown, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.Shutdown(fd, how);
}

int FaultInjectingSystemCalls::SetSockOpt(int fd, int level, int name, const void* value, socklen_t length) {
  if (const int error = Decide(Call::kSetSockOpt, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.SetSockOpt(fd, level, name, value, length);
}

int FaultInjectingSystemCalls::GetSockOpt(int fd, int level, int name, void* value, socklen_t* length) {
  if (const int error = Decide(Call::kGetSockOpt, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.GetSockOpt(fd, level, name, value, length);
}

int FaultInjectingSystemCalls::GetSockName(int fd, sockaddr* address, socklen_t* length) {
  if (const int error = Decide(Call::kGetSockName, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.GetSockName(fd, address, length);
}

int FaultInjectingSystemCalls::GetPeerName(int fd, sockaddr* address, socklen_t* length) {
  if (const int error = Decide(Call::kGetPeerName, Subject{.fd = fd}, 0).error) return Refused(error);
  return target_.GetPeerName(fd, address, length);
}

int FaultInjectingSystemCalls::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
  if (const int error = Decide(Call::kPoll, Subject{.fds = fds, .count = count}, 0).error) return Refused(error);
  return target_.Poll(fds, count, timeout_ms);
}

}  // namespace korvan::test
