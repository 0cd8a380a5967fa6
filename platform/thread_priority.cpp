#include "platform/thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
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

// The first version of the kernel's struct sched_attr, which glibc does not declare.
struct SchedAttr {
  std::uint32_t size = sizeof(SchedAttr);
  std::uint32_t sched_policy = SCHED_OTHER;
  std::uint64_t sched_flags = 0;
  std::int32_t sched_nice = 0;
  std::uint32_t sched_priority = 0;
  std::uint64_t sched_runtime = 0;  // SCHED_OTHER: the slice asked for
  std::uint64_t sched_deadline = 0;
  std::uint64_t sched_period = 0;
};

// The calling thread's nice value and time slice at once; false where the kernel refuses.
bool SetNiceAndSlice(int nice_value, long long slice_ns) {
#if defined(SYS_sched_setattr)
  SchedAttr attr;
  attr.sched_nice = nice_value;
  attr.sched_runtime = static_cast<std::uint64_t>(slice_ns);
  return syscall(SYS_sched_setattr, 0L, &attr, 0UL) == 0;
#else
  (void)nice_value;
  (void)slice_ns;
  return false;
#endif
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
      request.slice_ns = kCodecSliceNs;
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
  // The slice too: 0 gives back the kernel's default to a thread that inherited a longer one.
  if (SetNiceAndSlice(request.nice_value, request.slice_ns)) return true;
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, tid, request.nice_value) == 0) return true;

  char text[160];
  std::snprintf(text, sizeof text, "%s thread runs at normal priority: %s\n", thread_name,
                std::strerror(errno));
  DebugOutput("Info ThreadPriority", text);
  return false;
}

}  // namespace vxr
