// The player's mailbox and its thread: the newest command wins, and every executor waits on the
// mailbox so that a newer command interrupts it at once.
#include <exception>

#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

// In byte 1 everything but Standby, in byte 2 everything but Reverse, in byte 4 Preroll,
// Preview and Review: what every command start clears.
void CommonClear(std::uint8_t* s) {
  s[1] &= status::Standby.mask;
  s[2] &= status::Reverse.mask;
  s[4] &= static_cast<std::uint8_t>(
      ~(status::Preroll.mask | status::Preview.mask | status::Review.mask));
}

void SetStopAndStill(std::uint8_t* s) {
  status::Still.Set(s, true);
  status::Stop.Set(s, true);
}

}  // namespace

int CClvrPlayer::CMD_set(const Command& command) {
  if (m_thread_running.load() == 0) return 0;
  if (command.code != kQuit &&
      m_status.Read([](const std::uint8_t* s) { return (s[0] & status::kTapeOutMask) != 0; })) {
    return 0;
  }
  // Quit always gets in; once an eject is taken nothing else does until the next load.
  const auto admission = command.code == kQuit    ? CCommandMailbox::Admission::kAlways
                         : command.code == kEject ? CCommandMailbox::Admission::kCloses
                                                  : CCommandMailbox::Admission::kOrdinary;
  const auto result = m_mailbox.Put(command, m_stopwatch.ElapsedSeconds(), admission);
  if (result == CCommandMailbox::PutResult::kRefused) return 0;
  if (result == CCommandMailbox::PutResult::kReplacedNewest) {
    DebugReport("Err CMD_set", "Too many commands, some are ignored\n");
  }
  return 1;
}

int CClvrPlayer::CMD_get(Command* command) {
  int dropped = 0;
  if (!m_mailbox.Take(command, &dropped)) return 0;
  if (dropped > 0) DebugReport("Err CMD_get", "%d commands ignored\n", dropped);
  return 1;
}

int CClvrPlayer::CMD_was_set(int milliseconds) {
  if (m_mailbox.Waiting()) return 1;
  if (milliseconds == 0) return 0;
  const bool signalled = m_mailbox.Wait(milliseconds);
  m_last_result.store(0);
  return signalled ? 1 : 0;
}

void CClvrPlayer::PlayThreadProc(CClvrPlayer* player) {
  SetCurrentThreadName("vxr player");
  if (player->m_thread_start_hook) player->m_thread_start_hook();
  player->m_thread_running.store(1);
  JoinServerLibrary();
  SetCurrentThreadPriority(ThreadPriority::kAboveNormal, "Player");
  player->m_thread_started.Set();
  try {
    player->Proc();
  } catch (const std::exception& error) {
    player->DebugReport("Err PlayThreadProc", "Player thread ends on an exception: %s\n",
                        error.what());
  } catch (...) {
    player->DebugReport("Err PlayThreadProc", "Player thread ends on an unknown exception\n");
  }
  player->m_thread_running.store(0);
  LeaveServerLibrary();
  player->m_thread_ended.Set();
}

int CClvrPlayer::Proc() {
  m_last_result.store(0);
  for (;;) {
    CMD_was_set(kInfinite);
    Command command;
    CMD_get(&command);
    if (command.code >= kCueUp && command.code <= kPlay) {
      RunCommand(command);
    } else if (command.code == kQuit) {
      Clvr_PAUSE();
      return 0;
    } else {
      DebugReport("Err CClvrPlayer Proc", " Unknown CMD %d\n", command.code);
    }
  }
}

void CClvrPlayer::RunCommand(const Command& command) {
  const double speed = command.argument.speed;
  switch (command.code) {
    case kCueUp:
      return RunCueUp(command.argument.frame);
    case kEject:
      return RunEject();
    case kFastWind:
      return RunFastWind(speed, command.time_stamp);
    case kJog:
      return RunJog(speed, command.time_stamp);
    case kRewind:
      return RunRewind(speed, command.time_stamp);
    case kStop:
      return RunStop();
    case kShuttle:
      return RunShuttle(speed, command.time_stamp);
    case kPlay:
      return RunPlay();
    default:
      return;
  }
}

void CClvrPlayer::RunCueUp(std::uint32_t target) {
  ChangeStatus([&](std::uint8_t* s) {
    CommonClear(s);
    status::Preroll.Set(s, true);
    status::CueUp_Complete.Set(s, false);
    status::TSO_Mode.Set(s, false);
    status::Shuttle.Set(s, true);
    status::Reverse.Set(s, target < m_current_frame.load());
  });
  if (CueToFrame(target)) {
    ChangeStatus([](std::uint8_t* s) {
      status::Reverse.Set(s, false);
      status::CueUp_Complete.Set(s, true);
      status::Shuttle.Set(s, false);
      status::TSO_Mode.Set(s, false);
      SetStopAndStill(s);
      status::Preroll.Set(s, false);
    });
    return;
  }
  ChangeStatus([](std::uint8_t* s) { status::CueUp_Complete.Set(s, false); });
  Clvr_PAUSE();
  ChangeStatus([](std::uint8_t* s) {
    status::Shuttle.Set(s, false);
    status::TSO_Mode.Set(s, false);
    SetStopAndStill(s);
    status::Preroll.Set(s, false);
  });
}

void CClvrPlayer::RunEject() {
  ChangeStatus([](std::uint8_t* s) {
    CommonClear(s);
    status::Eject.Set(s, true);
  });
  EjectTape();
  ChangeStatus([](std::uint8_t* s) {
    // The two bits above Tape_OUT go; Tape_OUT itself is set.
    s[0] &= static_cast<std::uint8_t>(~(status::kTapeOutMask & ~status::Tape_OUT.mask));
    status::Eject.Set(s, false);
    status::Standby.Set(s, false);
    status::Tape_OUT.Set(s, true);
  });
}

void CClvrPlayer::RunFastWind(double speed, double time_stamp) {
  ChangeStatus([](std::uint8_t* s) {
    CommonClear(s);
    status::Reverse.Set(s, false);
    status::Fast_FWD.Set(s, true);
  });
  if (Play_Speed(speed, time_stamp)) {
    ChangeStatus([](std::uint8_t* s) {
      status::Fast_FWD.Set(s, false);
      SetStopAndStill(s);
    });
  }
}

void CClvrPlayer::RunRewind(double speed, double time_stamp) {
  ChangeStatus([](std::uint8_t* s) {
    CommonClear(s);
    status::Reverse.Set(s, true);
    status::Rewind.Set(s, true);
  });
  if (Play_Speed(speed, time_stamp)) {
    ChangeStatus([](std::uint8_t* s) {
      status::Reverse.Set(s, false);
      status::Rewind.Set(s, false);
      SetStopAndStill(s);
    });
  }
}

void CClvrPlayer::RunJog(double speed, double time_stamp) {
  ChangeStatus([&](std::uint8_t* s) {
    if (!status::Jog.In(s)) {
      CommonClear(s);
      status::Jog.Set(s, true);
      status::Still.Set(s, speed == 0.0);
    }
    status::Reverse.Set(s, speed < 0.0);
  });
  if (Play_Speed(speed, time_stamp)) {
    ChangeStatus([](std::uint8_t* s) {
      status::Jog.Set(s, false);
      status::Reverse.Set(s, false);
      SetStopAndStill(s);
    });
    m_speed.store(0.0);
  }
}

void CClvrPlayer::RunShuttle(double speed, double time_stamp) {
  bool running = false;
  ChangeStatus([&](std::uint8_t* s) {
    running = (status::Shuttle.In(s) || status::TSO_Mode.In(s)) && !status::Preroll.In(s);
    if (!running) {
      CommonClear(s);
      status::TSO_Mode.Set(s, false);
      status::Shuttle.Set(s, true);
    }
    status::Reverse.Set(s, speed < 0.0);
  });
  if (!running && speed == 0.0) {
    // The transport stands still now, whatever speed an earlier speed play left behind, so
    // that the status reports Still while Shuttle is lit.
    m_speed.store(0.0);
    if (Clvr_PAUSE()) ChangeStatus([](std::uint8_t* s) { status::Still.Set(s, true); });
    return;
  }
  if (Play_Speed(speed, time_stamp)) {
    ChangeStatus([](std::uint8_t* s) {
      status::Shuttle.Set(s, false);
      status::TSO_Mode.Set(s, false);
      status::Reverse.Set(s, false);
      SetStopAndStill(s);
    });
    m_speed.store(0.0);
  }
}

void CClvrPlayer::RunStop() {
  ChangeStatus([](std::uint8_t* s) {
    CommonClear(s);
    status::Stop.Set(s, true);
  });
  const int done = Clvr_PAUSE();
  ChangeStatus([done](std::uint8_t* s) {
    if (done) status::Still.Set(s, true);
    status::Reverse.Set(s, false);
  });
}

void CClvrPlayer::RunPlay() {
  ChangeStatus([](std::uint8_t* s) {
    CommonClear(s);
    status::Reverse.Set(s, false);
    status::Play.Set(s, true);
  });
  if (Clvr_PLAY()) {
    ChangeStatus([](std::uint8_t* s) {
      status::Play.Set(s, false);
      SetStopAndStill(s);
    });
  }
}

}  // namespace vxr
