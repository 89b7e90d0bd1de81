// The main thread's side of every connection worker. A worker calls these
// only through MainThread::Invoke, waiting until each returns; the host
// reads and changes shell state there and nowhere else.
//
// Thread rule: main thread only.
#pragma once

#include <string>

#include "tunnel/session_opening.h"
#include "tunnel/worker_messages.h"

namespace korvan {

class WorkerHost {
 public:
  virtual ~WorkerHost() = default;
  // Once, when the worker starts: admit the client and plan its session,
  // or turn it away.
  virtual OpeningDecision PrepareOpening(const AcceptedClient& client) = 0;
  // A control frame. `pending` is the worker's report not yet handed over:
  // a frame that carries a text for the log reports it at once, and some
  // kinds adjust its delivered count.
  virtual FrameOutcome HandleControlFrame(const ControlFrame& frame, StatusReport& pending) = 0;
  // Takes the counters, samples and connection change of `report` into the
  // shell's statistics, and its status text into the log when the log
  // takes it (it is then cleared).
  virtual void ReportStatus(StatusReport& report) = 0;
  // The status text for a tunnel that could not be opened.
  virtual std::string TunnelFailureText(TunnelFailure failure) = 0;
};

}  // namespace korvan
