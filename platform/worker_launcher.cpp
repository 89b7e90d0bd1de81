#include "platform/worker_launcher.h"

#include <chrono>

#include "platform/posix_stream_socket.h"
#include "platform/thread_priority.h"

namespace korvan {

WorkerLauncher::WorkerLauncher(MainLoop& loop, Clock& clock, Network& network, SystemCalls& calls)
    : loop_(loop),
      clock_(clock),
      network_(network),
      calls_(calls),
      pixel_work_(PixelWorkPool::DefaultThreads(), LowerThisThreadPriority) {}

void WorkerLauncher::Begin(WorkerHost& host, const WordList& words) {
  MutexLock lock(mutex_);
  host_ = &host;
  words_ = &words;
  stopping_ = false;
}

WorkerLauncher::~WorkerLauncher() {
  MutexLock lock(mutex_);
  for (auto& r : running_) {
    r->worker->Terminate();
    if (r->thread.joinable()) r->thread.join();
  }
}

void WorkerLauncher::JoinFinished() {
  for (auto it = running_.begin(); it != running_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = running_.erase(it);
    } else {
      ++it;
    }
  }
}

void WorkerLauncher::Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) {
  MutexLock lock(mutex_);
  JoinFinished();
  if (stopping_ || host_ == nullptr || words_ == nullptr) {
    socket->Close();
    return;
  }
  auto running = std::make_unique<Running>();
  running->worker = std::make_unique<TProxyThread>(WorkerEnvironment{loop_, clock_, network_, *host_, *words_, &pixel_work_},
                                                   std::make_unique<PosixStreamSocket>(std::move(socket), calls_),
                                                   entry);
  Running* r = running.get();
  r->thread = std::thread([r] {
    r->worker->ClientExecute();
    r->done.store(true);
  });
  running_.push_back(std::move(running));
}

void WorkerLauncher::EndAll() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    for (auto& r : running_) r->worker->Terminate();
  }
  // A worker notices within a second; its last hand-offs need the pump.
  for (;;) {
    loop_.RunPending();
    {
      MutexLock lock(mutex_);
      JoinFinished();
      if (running_.empty()) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::size_t WorkerLauncher::live_workers() {
  MutexLock lock(mutex_);
  JoinFinished();
  return running_.size();
}

}  // namespace korvan
