#pragma once

namespace vxr {

enum class ThreadPriority {
  kAboveNormal,   // the player thread: just above normal
  kTimeCritical,  // the receiver thread: the highest the deck asks for
  kCodec,         // encoders, decoders and FFmpeg's own workers: below normal
  kOutput,        // a thread codec work starts that sends on an output's clock: normal again
};

// The real-time priorities the deck asks for (SCHED_FIFO): the receiver's is the highest, and the
// service unit's LimitRTPRIO grants exactly it. It stays below the kernel's threaded interrupt
// handlers (50), which deliver the bytes the receiver reads.
inline constexpr int kReceiverFifoPriority = 40;
inline constexpr int kPlayerFifoPriority = 1;
// How much nicer than the process codec work runs; its threads (and the ones FFmpeg makes from
// them, which inherit it) then yield to the receiver, the player and the outputs' clocks.
inline constexpr int kCodecNiceStep = 5;

// What a thread asks the scheduler for: SCHED_FIFO at fifo_priority, else SCHED_OTHER at
// nice_value.
struct PriorityRequest {
  bool real_time = false;
  int fifo_priority = 0;
  int nice_value = 0;
};

// The request for priority, given the soft RLIMIT_RTPRIO (a negative value for no limit) and the
// process's nice value. Real time is asked for at most up to the limit; the player has it only
// when the receiver can still be above it. Codec work never runs in real time.
PriorityRequest PlanThreadPriority(ThreadPriority priority, long rt_limit, int process_nice);

// Asks the scheduler for the priority on behalf of the calling thread; threads it starts later
// inherit it. Best effort: when the system refuses, the thread keeps running at normal priority
// and a diagnostic says so (and once per process, when RLIMIT_RTPRIO allows no real time at
// all). Returns true when the request was granted.
bool SetCurrentThreadPriority(ThreadPriority priority, const char* thread_name);

}  // namespace vxr
