#include "platform/system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace korvan {
namespace {

class KernelCalls final : public SystemCalls {
 public:
  int Open(const char* path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Read(int fd, void* buffer, std::size_t size) override { return ::read(fd, buffer, size); }
  ssize_t Write(int fd, const void* bytes, std::size_t size) override { return ::write(fd, bytes, size); }
  int Fsync(int fd) override { return ::fsync(fd); }
  int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int Fstat(int fd, struct stat* info) override { return ::fstat(fd, info); }
  int Ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
  off_t Lseek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
  int Flock(int fd, int operation) override { return ::flock(fd, operation); }
  int Mkostemp(char* path_template, int flags) override { return ::mkostemp(path_template, flags); }
  int Rename(const char* from, const char* to) override { return ::rename(from, to); }
  int Unlink(const char* path) override { return ::unlink(path); }

  int Socket(int domain, int type, int protocol) override { return ::socket(domain, type, protocol); }
  int Connect(int fd, const sockaddr* address, socklen_t length) override {
    return ::connect(fd, address, length);
  }
  ssize_t Recv(int fd, void* buffer, std::size_t size, int flags) override {
    return ::recv(fd, buffer, size, flags);
  }
  ssize_t Send(int fd, const void* bytes, std::size_t size, int flags) override {
    return ::send(fd, bytes, size, flags);
  }
  int Shutdown(int fd, int how) override { return ::shutdown(fd, how); }
  int SetSockOpt(int fd, int level, int name, const void* value, socklen_t length) override {
    return ::setsockopt(fd, level, name, value, length);
  }
  int GetSockOpt(int fd, int level, int name, void* value, socklen_t* length) override {
    return ::getsockopt(fd, level, name, value, length);
  }
  int GetSockName(int fd, sockaddr* address, socklen_t* length) override {
    return ::getsockname(fd, address, length);
  }
  int GetPeerName(int fd, sockaddr* address, socklen_t* length) override {
    return ::getpeername(fd, address, length);
  }

  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override { return ::poll(fds, count, timeout_ms); }
};

}  // namespace

SystemCalls& RealSystemCalls() {
  // Never destroyed: threads still running while the program exits may use it.
  static KernelCalls* const calls = new KernelCalls;
  return *calls;
}

}  // namespace korvan
