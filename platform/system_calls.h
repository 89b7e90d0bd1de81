// The POSIX calls the platform's files and sockets are made of, behind one
// interface, so that tests can put a fault-injecting layer between this code
// and the kernel and drive the real code paths through interrupted calls,
// short transfers, a full disk and reset connections.
//
// Contract: every method has the return value and errno behaviour of the
// system call it is named after; an implementation that fails a call sets
// errno as the kernel would and does nothing else that the real call would
// not. Only calls that the platform code really makes are here; the name
// resolver (getaddrinfo) is a library, not a system call, and stays direct.
//
// Thread rule: RealSystemCalls() is stateless and may be used from any
// thread; other implementations must be as well, since workers use sockets
// from their own threads.
#pragma once

#include <cstddef>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace korvan {

class SystemCalls {
 public:
  virtual ~SystemCalls() = default;

  // Files.
  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
  virtual ssize_t Write(int fd, const void* bytes, std::size_t size) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Fchmod(int fd, mode_t mode) = 0;
  virtual int Fstat(int fd, struct stat* info) = 0;
  virtual int Ftruncate(int fd, off_t length) = 0;
  virtual off_t Lseek(int fd, off_t offset, int whence) = 0;
  virtual int Flock(int fd, int operation) = 0;
  // Fills in the XXXXXX of `path_template` in place, as mkostemp does.
  virtual int Mkostemp(char* path_template, int flags) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;

  // Sockets.
  virtual int Socket(int domain, int type, int protocol) = 0;
  virtual int Connect(int fd, const sockaddr* address, socklen_t length) = 0;
  virtual ssize_t Recv(int fd, void* buffer, std::size_t size, int flags) = 0;
  virtual ssize_t Send(int fd, const void* bytes, std::size_t size, int flags) = 0;
  virtual int Shutdown(int fd, int how) = 0;
  virtual int SetSockOpt(int fd, int level, int name, const void* value, socklen_t length) = 0;
  virtual int GetSockOpt(int fd, int level, int name, void* value, socklen_t* length) = 0;
  virtual int GetSockName(int fd, sockaddr* address, socklen_t* length) = 0;
  virtual int GetPeerName(int fd, sockaddr* address, socklen_t* length) = 0;

  // Waiting.
  virtual int Poll(pollfd* fds, nfds_t count, int timeout_ms) = 0;
};

// The calls as the kernel makes them; the default everywhere.
SystemCalls& RealSystemCalls();

}  // namespace korvan
