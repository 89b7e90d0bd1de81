// SystemCalls for tests: passes every call on to another implementation (the
// kernel's by default) and, by rules a test adds and removes while the code
// under test runs, makes chosen calls fail the way the kernel can make them
// fail: interrupted by a signal, cut short, out of disk space, refused with a
// given errno, reset by the peer.
//
// Contract: a fault changes only what the kernel could have changed. An
// interrupted call, like a failed one, is not made at all; a short transfer
// is the real call with a smaller size; a write that reaches the end of a
// disk budget writes what fits and returns that count, and the next write
// fails with ENOSPC. The one exception is connect: an interrupted connect
// is really made and then reported as EINTR, as a signal during a blocking
// connect leaves the connection going on.
//
// Failures are looked at first, then interruptions; the first rule of those
// that fires decides. A call that passes both may be cut short by transfer
// limits and by the first matching disk budget together. Each rule counts the
// faults it has injected.
//
// Thread rule: every method may be called from any thread at any time,
// including while other threads are inside calls; rules are looked at under
// one mutex (`mutex_`, which also guards the descriptors opened through
// this object), and the real call is made outside it.
#pragma once

#include <array>
#include <cerrno>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/system_calls.h"

namespace korvan::test {

enum class Call : unsigned {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kFsync,
  kFchmod,
  kFstat,
  kFtruncate,
  kLseek,
  kFlock,
  kMkostemp,
  kRename,
  kUnlink,
  kSocket,
  kConnect,
  kRecv,
  kSend,
  kShutdown,
  kSetSockOpt,
  kGetSockOpt,
  kGetSockName,
  kGetPeerName,
  kPoll,
};
inline constexpr std::size_t kCallKinds = static_cast<std::size_t>(Call::kPoll) + 1;

// A set of call kinds: Call::kRecv | Call::kSend.
class CallSet {
 public:
  constexpr CallSet() = default;
  // Implicit: a single call is a set of one.
  constexpr CallSet(Call call) : bits_(1u << static_cast<unsigned>(call)) {}
  constexpr bool contains(Call call) const { return (bits_ & CallSet(call).bits_) != 0; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr bool subset_of(CallSet other) const { return (bits_ & ~other.bits_) == 0; }
  friend constexpr CallSet operator|(CallSet a, CallSet b) { return FromBits(a.bits_ | b.bits_); }

  // The calls the kernel can interrupt with EINTR.
  static constexpr CallSet Interruptible() {
    return CallSet(Call::kOpen) | Call::kRead | Call::kWrite | Call::kFsync | Call::kFtruncate | Call::kFlock |
           Call::kConnect | Call::kRecv | Call::kSend | Call::kPoll;
  }
  // The calls that move bytes and so can be cut short.
  static constexpr CallSet Transfers() { return CallSet(Call::kRead) | Call::kWrite | Call::kRecv | Call::kSend; }

 private:
  static constexpr CallSet FromBits(std::uint32_t bits) {
    CallSet set;
    set.bits_ = bits;
    return set;
  }
  std::uint32_t bits_ = 0;
};

constexpr CallSet operator|(Call a, Call b) { return CallSet(a) | CallSet(b); }

// What a rule applies to.
class Scope {
 public:
  // Every call of the rule's kinds.
  static Scope Anything() { return Scope(Kind::kAnything); }
  // Paths under `folder` (the folder itself too), and descriptors opened from
  // such paths through this object and not yet closed through it.
  static Scope Under(const std::filesystem::path& folder);
  // Calls on descriptor `fd` (for poll: when it is among the polled ones).
  // The rule ends when `fd` is closed through this object, since the number
  // is then free for another descriptor.
  static Scope Descriptor(int fd);
  // Socket calls, and other calls on descriptors that are sockets.
  static Scope Sockets() { return Scope(Kind::kSockets); }

 private:
  friend class FaultInjectingSystemCalls;
  enum class Kind { kAnything, kUnder, kDescriptor, kSockets };
  explicit Scope(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::filesystem::path folder_;
  int fd_ = -1;
};

class FaultInjectingSystemCalls final : public SystemCalls {
 public:
  using RuleId = std::size_t;
  static constexpr std::size_t kNoEnd = std::numeric_limits<std::size_t>::max();

  explicit FaultInjectingSystemCalls(SystemCalls& target = RealSystemCalls()) : target_(target) {}

  // Calls of `calls` in `scope` fail with EINTR: for each kind its first
  // call, and every `every`-th after that, at most `times` times in all. With
  // `every` 2 each call is interrupted once and goes through when retried.
  // Throws std::invalid_argument for a call the kernel never interrupts, or
  // for `every` 0.
  RuleId Interrupt(CallSet calls, std::size_t every, Scope scope = Scope::Anything(), std::size_t times = kNoEnd);
  // Reads and writes of `calls` in `scope` move at most `max_bytes` (at least
  // 1) per call. Throws std::invalid_argument for calls that move no bytes.
  RuleId LimitTransfers(CallSet calls, std::size_t max_bytes, Scope scope = Scope::Anything());
  // Writes to regular files in `scope` have `budget` bytes between them;
  // then the disk is full. Remove the rule to give the space back.
  RuleId FillDisk(Scope scope, std::size_t budget);
  // `calls` in `scope` fail with `error`, at most `times` times. A failed
  // close still releases the descriptor, as on Linux.
  RuleId Fail(CallSet calls, int error, Scope scope = Scope::Anything(), std::size_t times = kNoEnd);
  // recv and send on `fd` fail with ECONNRESET, as after the peer's reset.
  RuleId ResetConnection(int fd) { return Fail(Call::kRecv | Call::kSend, ECONNRESET, Scope::Descriptor(fd)); }

  // The rule injects no more faults; its count stays readable.
  void Remove(RuleId rule) KORVAN_EXCLUDES(mutex_);
  void Clear() KORVAN_EXCLUDES(mutex_);
  // Faults injected by `rule`: failures, interruptions, cut or refused
  // transfers.
  std::size_t Hits(RuleId rule) const KORVAN_EXCLUDES(mutex_);
  std::size_t Hits(RuleId rule, Call call) const KORVAN_EXCLUDES(mutex_);
  // Faults injected by all rules together.
  std::size_t Injected() const KORVAN_EXCLUDES(mutex_);
  // Calls of kind `call` seen, with or without a fault.
  std::size_t Seen(Call call) const { return seen_[static_cast<std::size_t>(call)].load(); }

  int Open(const char* path, int flags, mode_t mode) override;
  int Close(int fd) override KORVAN_EXCLUDES(mutex_);
  ssize_t Read(int fd, void* buffer, std::size_t size) override;
  ssize_t Write(int fd, const void* bytes, std::size_t size) override;
  int Fsync(int fd) override;
  int Fchmod(int fd, mode_t mode) override;
  int Fstat(int fd, struct stat* info) override;
  int Ftruncate(int fd, off_t length) override;
  off_t Lseek(int fd, off_t offset, int whence) override;
  int Flock(int fd, int operation) override;
  int Mkostemp(char* path_template, int flags) override;
  int Rename(const char* from, const char* to) override;
  int Unlink(const char* path) override;
  int Socket(int domain, int type, int protocol) override;
  int Connect(int fd, const sockaddr* address, socklen_t length) override KORVAN_EXCLUDES(mutex_);
  ssize_t Recv(int fd, void* buffer, std::size_t size, int flags) override;
  ssize_t Send(int fd, const void* bytes, std::size_t size, int flags) override;
  int Shutdown(int fd, int how) override;
  int SetSockOpt(int fd, int level, int name, const void* value, socklen_t length) override;
  int GetSockOpt(int fd, int level, int name, void* value, socklen_t* length) override;
  int GetSockName(int fd, sockaddr* address, socklen_t* length) override;
  int GetPeerName(int fd, sockaddr* address, socklen_t* length) override;
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override;

 private:
  enum class RuleKind { kFail, kInterrupt, kLimit, kDisk };
  struct Rule {
    RuleKind kind;
    CallSet calls;
    Scope scope;
    int error = 0;
    std::size_t every = 1;
    std::array<std::size_t, kCallKinds> matched{};  // per kind, for interruptions
    std::size_t times_left = kNoEnd;
    std::size_t max_bytes = kNoEnd;
    std::size_t budget_left = 0;
    std::size_t hits = 0;
    std::array<std::size_t, kCallKinds> hits_by_call{};
    bool active = true;
  };
  // What a call is about, for matching scopes.
  struct Subject {
    int fd = -1;
    const pollfd* fds = nullptr;
    nfds_t count = 0;
    const char* path = nullptr;
    const char* other_path = nullptr;
  };
  // The outcome of looking at the rules for one call.
  struct Verdict {
    int error = 0;              // nonzero: fail with it instead of calling
    std::size_t size = 0;       // bytes the call may move
    std::size_t disk_rule = kNoEnd;  // the budget the size was taken from
    std::size_t reserved = 0;
    std::size_t interrupt_rule = kNoEnd;
  };

  RuleId AddRule(Rule rule) KORVAN_EXCLUDES(mutex_);
  Verdict Decide(Call call, const Subject& subject, std::size_t size) KORVAN_EXCLUDES(mutex_);
  // Gives back the part of a reserved budget that the call did not use.
  void Settle(const Verdict& verdict, ssize_t moved) KORVAN_EXCLUDES(mutex_);
  bool InScope(const Scope& scope, Call call, const Subject& subject) KORVAN_REQUIRES(mutex_);
  bool IsSocket(int fd);
  bool IsRegularFile(int fd);
  bool Tracked(int fd, const std::filesystem::path& folder) const KORVAN_REQUIRES(mutex_);
  bool TrackedAmongPolled(const Subject& subject, const std::filesystem::path& folder) const KORVAN_REQUIRES(mutex_);
  bool Matches(const Rule& rule, RuleKind wanted, Call call, const Subject& subject) KORVAN_REQUIRES(mutex_);
  void Track(int fd, const char* path) KORVAN_EXCLUDES(mutex_);
  ssize_t Transfer(Call call, int fd, std::size_t size, const auto& make_call);

  SystemCalls& target_;
  mutable Mutex mutex_;
  std::vector<Rule> rules_ KORVAN_GUARDED_BY(mutex_);
  // descriptor -> the path it was opened from
  std::map<int, std::filesystem::path> opened_ KORVAN_GUARDED_BY(mutex_);
  std::array<std::atomic<std::size_t>, kCallKinds> seen_{};
};

}  // namespace korvan::test
