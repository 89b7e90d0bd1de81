// Starts a connection worker on a thread of its own for every accepted
// connection, and ends them all at shutdown.
//
// Thread rule: Start runs on the listeners' accept threads; Begin, EndAll
// and live_workers on the main thread. `mutex_` guards the list of running
// workers and the host.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/posix_listener.h"
#include "shell/listener.h"
#include "shell/platform_services.h"
#include "tunnel/proxy_thread.h"

namespace korvan {

class WorkerLauncher : public ConnectionFactory, public ConnectionWorkers {
 public:
  // Workers hand off through `loop`, which also runs their last hand-offs
  // while EndAll waits for them.
  WorkerLauncher(MainLoop& loop, Clock& clock, Network& network);
  ~WorkerLauncher() override;

  void Begin(WorkerHost& host, const WordList& words) override;
  void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) override;
  void EndAll() override;
  std::size_t live_workers() override;

 private:
  struct Running {
    std::unique_ptr<TProxyThread> worker;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void JoinFinished();  // mutex held

  MainLoop& loop_;
  Clock& clock_;
  Network& network_;
  WorkerHost* host_ = nullptr;
  const WordList* words_ = nullptr;
  std::mutex mutex_;
  std::list<std::unique_ptr<Running>> running_;
  bool stopping_ = false;
};

}  // namespace korvan
