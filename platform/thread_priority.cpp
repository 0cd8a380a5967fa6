#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.h"

namespace vxr {
namespace {

constexpr int kReceiverNice = -15;  // the unit's LimitNICE
constexpr int kPlayerNice = -2;
constexpr int kNicest = 19;

// The soft RLIMIT_RTPRIO; -1 for no limit.
long RtLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long>(limit.rlim_cur);
}

// The nice value of the process (its main thread's).
int ProcessNice() {
  errno = 0;
  const int nice_value = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  return errno == 0 ? nice_value : 0;
}

void SayOnceThatRealTimeIsNotAllowed() {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  DebugOutput("Info ThreadPriority",
              "real-time scheduling is not allowed (RLIMIT_RTPRIO is 0): the receiver and the "
              "player ask for better nice values instead\n");
}

}  // namespace

PriorityRequest PlanThreadPriority(ThreadPriority priority, long rt_limit, int process_nice) {
  const long allowed = rt_limit < 0 ? kReceiverFifoPriority : rt_limit;
  PriorityRequest request;
  switch (priority) {
    case ThreadPriority::kTimeCritical:
      request.fifo_priority = static_cast<int>(std::min<long>(kReceiverFifoPriority, allowed));
      request.real_time = request.fifo_priority >= kPlayerFifoPriority;
      request.nice_value = kReceiverNice;
      break;
    case ThreadPriority::kAboveNormal:
      request.real_time = allowed > kPlayerFifoPriority;
      request.fifo_priority = request.real_time ? kPlayerFifoPriority : 0;
      request.nice_value = kPlayerNice;
      break;
    case ThreadPriority::kCodec:
      request.nice_value = std::min(process_nice + kCodecNiceStep, kNicest);
      break;
    case ThreadPriority::kOutput:
      request.nice_value = process_nice;
      break;
  }
  return request;
}

bool SetCurrentThreadPriority(ThreadPriority priority, const char* thread_name) {
  const long rt_limit = RtLimit();
  const PriorityRequest request = PlanThreadPriority(priority, rt_limit, ProcessNice());
  if (request.real_time) {
    sched_param param{};
    param.sched_priority = request.fifo_priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
  } else {
    if (rt_limit == 0 &&
        (priority == ThreadPriority::kTimeCritical || priority == ThreadPriority::kAboveNormal)) {
      SayOnceThatRealTimeIsNotAllowed();
    }
    // A thread started by a real-time one is real-time too: a nice value means nothing there.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  }
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, tid, request.nice_value) == 0) return true;

  char text[160];
  std::snprintf(text, sizeof text, "%s thread runs at normal priority: %s\n", thread_name,
                std::strerror(errno));
  DebugOutput("Info ThreadPriority", text);
  return false;
}

}  // namespace vxr
