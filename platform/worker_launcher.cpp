#include "platform/worker_launcher.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/posix_stream_socket.h"
#include "platform/thread_priority.h"

namespace korvan {

std::string RefusedConnectionsText(std::size_t refused, std::size_t max_workers) {
  return "Too many connections at once (MaxConnections=" + std::to_string(max_workers) + "): " +
         std::to_string(refused) + (refused == 1 ? " connection" : " connections") + " refused.";
}

WorkerLauncher::WorkerLauncher(MainLoop& loop, Clock& clock, Network& network, SystemCalls& calls)
    : loop_(loop),
      clock_(clock),
      network_(network),
      calls_(calls),
      pixel_work_(PixelWorkPool::DefaultThreads(), LowerThisThreadPriority) {}

void WorkerLauncher::Begin(WorkerHost& host, const WordList& words, std::size_t max_workers) {
  MutexLock lock(mutex_);
  host_ = &host;
  words_ = &words;
  max_workers_ = max_workers;
  stopping_ = false;
}

WorkerLauncher::~WorkerLauncher() {
  StopReportTimer();
  std::list<std::unique_ptr<Running>> running;
  {
    MutexLock lock(mutex_);
    for (auto& r : running_) {
      if (r->worker) r->worker->Terminate();
    }
    running.swap(running_);
  }
  // Joined outside the lock, under which each thread gives its worker up.
  for (auto& r : running) {
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

void WorkerLauncher::Finish(Running& running) {
  std::unique_ptr<TProxyThread> worker;
  {
    MutexLock lock(mutex_);
    worker = std::move(running.worker);
    running.done.store(true);
  }
  // The worker's sockets and buffers go now, with its slot; only the
  // thread waits to be joined.
}

void WorkerLauncher::Start(std::shared_ptr<AcceptedSocket> socket, std::size_t entry) {
  MutexLock lock(mutex_);
  // Workers that have ended free their slots here at the latest.
  JoinFinished();
  if (stopping_ || host_ == nullptr || words_ == nullptr) {
    socket->Close();
    return;
  }
  if (running_.size() >= max_workers_) {
    // Turned away before any worker or thread exists: the client sees the
    // end of the stream, the listener goes on accepting.
    socket->Close();
    CountRefusal();
    return;
  }
  auto running = std::make_unique<Running>();
  running->worker = std::make_unique<TProxyThread>(WorkerEnvironment{loop_, clock_, network_, *host_, *words_, &pixel_work_},
                                                   std::make_unique<PosixStreamSocket>(std::move(socket), calls_),
                                                   entry);
  Running* r = running.get();
  try {
    r->thread = std::thread([this, r] {
      r->worker->ClientExecute();
      Finish(*r);
    });
  } catch (const std::system_error&) {
    // No thread to be had (a process or memory limit): this connection
    // closes with its worker, the others carry on.
    CountRefusal();
    return;
  }
  running_.push_back(std::move(running));
}

void WorkerLauncher::CountRefusal() {
  ++refused_;
  if (report_scheduled_) return;
  report_scheduled_ = true;
  loop_.Post([this] { ReportRefusals(); });
}

void WorkerLauncher::ReportRefusals() {
  WorkerHost* host = nullptr;
  std::size_t refused = 0;
  std::size_t cap = 0;
  bool more_may_follow = false;
  {
    MutexLock lock(mutex_);
    if (stopping_ || refused_ == 0) {
      // Nothing since the last line (or the log has closed): idle again.
      refused_ = 0;
      report_scheduled_ = false;
    } else {
      more_may_follow = true;
      const std::uint32_t now = clock_.TickCount();
      if (!last_report_tick_ || now - *last_report_tick_ >= kRefusalReportMs) {
        host = host_;
        refused = std::exchange(refused_, 0);
        cap = max_workers_;
        last_report_tick_ = now;
      }
    }
  }
  if (!more_may_follow) {
    StopReportTimer();
  } else if (!report_timer_) {
    report_timer_ = loop_.StartTimer(std::chrono::milliseconds(kRefusalReportMs), [this] { ReportRefusals(); });
  }
  if (host != nullptr) {
    StatusReport report;
    report.status_text = RefusedConnectionsText(refused, cap);
    host->ReportStatus(report);
  }
}

void WorkerLauncher::StopReportTimer() {
  if (!report_timer_) return;
  loop_.StopTimer(*report_timer_);
  report_timer_.reset();
}

void WorkerLauncher::EndAll() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    for (auto& r : running_) {
      if (r->worker) r->worker->Terminate();
    }
  }
  // A worker notices within a second; its last hand-offs need the pump.
  for (;;) {
    loop_.RunPending();
    {
      MutexLock lock(mutex_);
      JoinFinished();
      if (running_.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  StopReportTimer();
}

std::size_t WorkerLauncher::live_workers() {
  MutexLock lock(mutex_);
  JoinFinished();
  return running_.size();
}

}  // namespace korvan
