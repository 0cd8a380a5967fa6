#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/manual_reset_event.h"

namespace vxr {

// One mailbox entry.
struct PlayerCommand {
  std::int32_t code = 0;
  void* data = nullptr;     // not used by any command
  double time_stamp = 0.0;  // stopwatch seconds when the mailbox took the command
  union Argument {
    double speed;
    std::uint32_t frame;
  } argument{0.0};
};

// The player's command mailbox: five entries, the newest wins. The thread that serves it takes
// only the newest command and drops the older ones; a sixth command while five wait replaces the
// newest waiting one. CommandEvent is signalled exactly while a command waits, so a wait on it
// ends the moment a command arrives.
//
// A command that closes the mailbox (an eject) lets nothing but commands admitted always (quit)
// in after it until Reopen: nothing may run on a tape that is being taken out.
class CCommandMailbox {
 public:
  static constexpr int kSize = 5;
  static constexpr int kInfinite = ManualResetEvent::kInfinite;

  enum class Admission {
    kOrdinary,  // refused while closed
    kCloses,    // refused while closed; closes the mailbox when taken
    kAlways,    // taken even while closed
  };
  enum class PutResult {
    kRefused,
    kTaken,
    kReplacedNewest,  // taken in place of the newest waiting command: the mailbox was full
  };

  // Puts the command in, stamped with time_stamp.
  PutResult Put(const PlayerCommand& command, double time_stamp, Admission admission);
  // Takes the newest command and drops the others; *dropped says how many. False (code 0)
  // when none waits.
  bool Take(PlayerCommand* command, int* dropped);
  // Whether a command waits (read without the lock: a stale answer only moves the moment a
  // command is noticed to the next look).
  bool Waiting() const { return m_top.load() >= 0; }
  // Waits up to milliseconds (kInfinite: without limit) for a command; true when one waits.
  bool Wait(int milliseconds) const;
  // Lets ordinary commands in again after a closing one.
  void Reopen();
  bool Closed() const;

 private:
  mutable std::mutex QueueLock;  // guards m_entries, m_closed and changes of m_top
  PlayerCommand m_entries[kSize];
  std::atomic<int> m_top{-1};  // index of the newest entry, -1 when empty
  bool m_closed = false;
  ManualResetEvent CommandEvent;  // set under QueueLock exactly while m_top >= 0
};

}  // namespace vxr
