#pragma once

namespace vxr {

enum class ThreadPriority {
  kAboveNormal,   // the player thread: one step above normal
  kTimeCritical,  // the receiver thread: the highest a normal thread can have
};

// Asks the scheduler for the priority on behalf of the calling thread. Best effort: when the
// system refuses, the thread keeps running at normal priority and a diagnostic says so.
// Returns true when the request was granted.
bool SetCurrentThreadPriority(ThreadPriority priority, const char* thread_name);

}  // namespace vxr
