// Starts a connection worker on a thread of its own for every accepted
// connection, and ends them all at shutdown. Their pixel work shares a
// small pool of threads at a lower priority.
//
// Thread rule: Start runs on the listeners' accept threads; Begin, EndAll
// and live_workers on the main thread. `mutex_` guards the list of running
// workers, the host, the word list and the stopping flag; each worker's
// `done` flag is its own thread's to set.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <thread>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "platform/posix_listener.h"
#include "platform/system_calls.h"
#include "shell/listener.h"
#include "shell/platform_services.h"
#include "tunnel/pixel_work_pool.h"
#include "tunnel/proxy_thread.h"

namespace korvan {

class WorkerLauncher : public ConnectionFactory, public ConnectionWorkers {
 public:
  // Workers hand off through `loop`, which also runs their last hand-offs
  // while EndAll waits for them.
  // Accepted connections read and write through `calls`.
  WorkerLauncher(MainLoop& loop, Clock& clock, Network& network, SystemCalls& calls = RealSystemCalls());
  ~WorkerLauncher() override;

  void Begin(WorkerHost& host, const WordList& words) override KORVAN_EXCLUDES(mutex_);
  void Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) override KORVAN_EXCLUDES(mutex_);
  void EndAll() override KORVAN_EXCLUDES(mutex_);
  std::size_t live_workers() override KORVAN_EXCLUDES(mutex_);

 private:
  struct Running {
    std::unique_ptr<TProxyThread> worker;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void JoinFinished() KORVAN_REQUIRES(mutex_);

  MainLoop& loop_;
  Clock& clock_;
  Network& network_;
  SystemCalls& calls_;
  // The workers' pixel work, on fewer threads than cores, at a lower
  // priority. Declared before the list so that it outlives the workers.
  PixelWorkPool pixel_work_;
  Mutex mutex_;
  WorkerHost* host_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  const WordList* words_ KORVAN_GUARDED_BY(mutex_) = nullptr;
  std::list<std::unique_ptr<Running>> running_ KORVAN_GUARDED_BY(mutex_);
  bool stopping_ KORVAN_GUARDED_BY(mutex_) = false;
};

}  // namespace korvan
