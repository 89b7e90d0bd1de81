// The shell's view of a listening socket and of the main thread's message
// queue. The platform layer implements them over POSIX sockets and its event
// loop; tests use fakes. A listener hands every accepted connection on to a
// connection factory that it was created with (the tunnel worker plugs in
// there); the shell only opens, closes and empties listeners.
//
// Thread rule: the shell opens, closes and empties listeners on the main
// thread; a listener hands accepted connections to its factory on its own
// accept thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace korvan {

class Listener {
 public:
  virtual ~Listener() = default;

  virtual void set_port(int port) = 0;
  virtual int port() const = 0;
  // The number of the port entry this listener serves; accepted connections
  // carry it to their worker.
  virtual void set_entry(std::size_t entry) = 0;

  // Starts listening at port() (on every interface in the program); false
  // and *error on failure, such as a port another socket holds.
  virtual bool Activate(std::string* error) = 0;
  // Stops listening and closes the connections still open.
  virtual void Deactivate() = 0;
  virtual bool active() const = 0;

  // Connections accepted here that were not closed and whose worker still
  // holds them.
  virtual std::size_t ActiveConnectionCount() = 0;
  // Closes the oldest of those; its worker ends on its own.
  virtual void CloseFirstConnection() = 0;
};

class ListenerFactory {
 public:
  virtual ~ListenerFactory() = default;
  virtual std::unique_ptr<Listener> Create() = 0;
};

// Runs the main thread's pending work (workers' hand-offs) so that a worker
// waiting on the main thread can finish while the main thread waits for it.
class MessagePump {
 public:
  virtual ~MessagePump() = default;
  virtual void RunPending() = 0;
};

}  // namespace korvan
