#include "player/command_mailbox.h"

namespace vxr {

CCommandMailbox::PutResult CCommandMailbox::Put(const PlayerCommand& command, double time_stamp,
                                                Admission admission) {
  std::lock_guard lock(QueueLock);
  if (m_closed && admission != Admission::kAlways) return PutResult::kRefused;
  int top = m_top.load();
  const bool full = top >= kSize - 1;
  top = full ? kSize - 1 : top + 1;
  m_entries[top] = command;
  m_entries[top].time_stamp = time_stamp;
  m_top.store(top);
  if (admission == Admission::kCloses) m_closed = true;
  // Signalled under the lock: Take resets it under the same lock, so the event is set exactly
  // while a command waits and a late signal can never wake the thread to an empty mailbox.
  CommandEvent.Set();
  return full ? PutResult::kReplacedNewest : PutResult::kTaken;
}

bool CCommandMailbox::Take(PlayerCommand* command, int* dropped) {
  *dropped = 0;
  command->code = 0;
  if (m_top.load() < 0) return false;
  std::lock_guard lock(QueueLock);
  const int top = m_top.load();
  if (top < 0) return false;
  *command = m_entries[top];
  *dropped = top;
  CommandEvent.Reset();
  m_top.store(-1);
  return true;
}

bool CCommandMailbox::Wait(int milliseconds) const {
  if (Waiting()) return true;
  return CommandEvent.Wait(milliseconds);
}

void CCommandMailbox::Reopen() {
  std::lock_guard lock(QueueLock);
  m_closed = false;
}

bool CCommandMailbox::Closed() const {
  std::lock_guard lock(QueueLock);
  return m_closed;
}

}  // namespace vxr
