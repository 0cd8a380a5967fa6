#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.h"

namespace vxr {

bool SetCurrentThreadPriority(ThreadPriority priority, const char* thread_name) {
  // Real-time scheduling first (it needs the privilege), then a better nice value of this thread.
  sched_param param{};
  int policy = SCHED_FIFO;
  const int max = sched_get_priority_max(policy);
  const int min = sched_get_priority_min(policy);
  param.sched_priority = priority == ThreadPriority::kTimeCritical ? max : min;
  if (pthread_setschedparam(pthread_self(), policy, &param) == 0) return true;

  const int nice_value = priority == ThreadPriority::kTimeCritical ? -15 : -2;
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, tid, nice_value) == 0) return true;

  char text[160];
  std::snprintf(text, sizeof text, "%s thread runs at normal priority: %s\n", thread_name,
                std::strerror(errno));
  DebugOutput("Info ThreadPriority", text);
  return false;
}

}  // namespace vxr
