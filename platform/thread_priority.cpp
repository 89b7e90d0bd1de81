#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>

namespace korvan {

void LowerThisThreadPriority() {
  // A niced thread still takes its share of a busy core, and with twenty
  // pictures to draw that share was enough to delay every other connection;
  // the idle class gives way at each wake-up of a normal thread.
  const sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
}

}  // namespace korvan
