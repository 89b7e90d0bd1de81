// Starts a connection worker on a thread of its own for every accepted
// connection, and ends them all at shutdown.
//
// Thread safety: Start runs on the listeners' accept threads; StopAll and
// live_workers on the main thread.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/posix_listener.h"
#include "shell/listener.h"
#include "tunnel/proxy_thread.h"

namespace korvan {

class WorkerLauncher : public ConnectionFactory {
 public:
  WorkerLauncher(MainThread& main_thread, Clock& clock, Network& network, const WordList& words);
  ~WorkerLauncher() override;

  // The host must be set before the first connection arrives.
  void set_host(WorkerHost* host) { host_ = host; }

  void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) override;

  // Asks every worker to end and waits until all have, running their
  // hand-offs through `pump` meanwhile.
  void StopAll(MessagePump& pump);
  std::size_t live_workers();

 private:
  struct Running {
    std::unique_ptr<TProxyThread> worker;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void JoinFinished();  // mutex held

  MainThread& main_thread_;
  Clock& clock_;
  Network& network_;
  const WordList& words_;
  WorkerHost* host_ = nullptr;
  std::mutex mutex_;
  std::list<std::unique_ptr<Running>> running_;
  bool stopping_ = false;
};

}  // namespace korvan
