#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/hresult.h"
#include "platform/manual_reset_event.h"
#include "player/board_resources.h"
#include "player/clv_play_server.h"
#include "player/clv_resource_holder.h"
#include "player/clv_super_clip.h"
#include "player/clv_timeline.h"
#include "player/command_mailbox.h"
#include "player/deck_player.h"
#include "player/speed_planner.h"
#include "player/status_block.h"
#include "protocol/stopwatch.h"

namespace vxr {

// The player: makes the board's playback timeline behave like a tape transport. Transport
// operations put a command into a five-entry mailbox (the newest wins) and return at once; one
// player thread carries the commands out against the timeline and keeps the 16-byte status
// block up to date around each.
class CClvrPlayer : public CDeckPlayer {
 public:
  // Mailbox command codes.
  enum CommandCode : std::int32_t {
    kCueUp = 1,
    kEject = 2,
    kFastWind = 3,
    kJog = 4,
    kRewind = 5,
    kStop = 6,
    kShuttle = 7,
    kPlay = 8,
    kVariableSpeed = 9,
    kQuit = 10,
  };

  // One mailbox entry.
  using Command = PlayerCommand;

  static constexpr int kMailboxSize = CCommandMailbox::kSize;
  static constexpr int m_queue_sz = 3;
  static constexpr int kInfinite = CCommandMailbox::kInfinite;
  // A still picture's virtual position within its frame, when speed play starts on it.
  static constexpr double kMiddleOfFrame = 0.5;

  CClvrPlayer();
  ~CClvrPlayer() override;
  CClvrPlayer(const CClvrPlayer&) = delete;
  CClvrPlayer& operator=(const CClvrPlayer&) = delete;

  // CTransport
  int TapeOutState() override;
  int IsNotPlaying() override;
  int ReservedQuery() override;
  int IsAtEnd() override;
  int ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) override;
  int GetCurrentTime(Timecode* timecode, std::uint8_t* user_bits) override;
  std::uint32_t FrameCount() const override { return m_frame_count.load(); }
  int GetDeviceType(std::uint8_t* first, std::uint8_t* second) override;
  int CueUp(Timecode timecode) override;
  int Eject() override;
  int Stop() override;
  int FastFwd() override;
  int Rewind() override;
  int Play() override;
  int VariableSpeedF(float speed) override;
  int VariableSpeed(double speed) override;
  int Jog(double speed) override;
  int Shuttle(double speed) override;

  // Diagnostic output: printf-style, cut to 99 characters; the tag names the reporting step.
  virtual void DebugReport(const char* tag, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  std::uint32_t SetLocal(int flag) override;

  // CDeckPlayer
  HRESULT Initialize() override;
  HRESULT InsertTape(const std::string& path) override;
  HRESULT LastResult() const override { return m_last_result.load(); }

  // The mailbox, from any thread.
  int CMD_set(const Command& command);
  int CMD_get(Command* command);
  int CMD_was_set(int milliseconds);

  // Read-outs for tests and benchmarks.
  std::uint32_t CurrentFrame() const { return m_current_frame.load(); }
  std::uint32_t FrameLast() const { return m_frame_last.load(); }
  double OutputRate() const { return m_output_rate; }
  int BoardIndex() const { return m_board_index; }
  int QuarterFrameWait() const { return m_quarter_frame_wait; }
  int HalfFrameWait() const { return m_half_frame_wait; }
  int ThreeQuarterFrameWait() const { return m_three_quarter_frame_wait; }
  double Speed() const { return m_speed.load(); }
  double StopwatchSeconds() const { return m_stopwatch.ElapsedSeconds(); }
  bool IsThreadRunning() const { return m_thread_running.load() != 0; }

 protected:
  // Ends the player thread (quit, then join); the destructor's first step. A derived class whose
  // overrides run on the player thread ends it first in its own destructor, so that nothing of
  // it is gone while the thread still runs.
  void EndThread();
  // For tests: runs on the player thread as it starts, before it serves commands. Set before
  // Initialize.
  void SetThreadStartHook(std::function<void()> hook) { m_thread_start_hook = std::move(hook); }

 private:
  // Player thread.
  static void PlayThreadProc(CClvrPlayer* player);
  int Proc();
  void RunCommand(const Command& command);
  // One executor's run with the status changes around it, by command.
  void RunCueUp(std::uint32_t target);
  void RunEject();
  void RunFastWind(double speed, double time_stamp);
  void RunRewind(double speed, double time_stamp);
  void RunJog(double speed, double time_stamp);
  void RunShuttle(double speed, double time_stamp);
  void RunStop();
  void RunPlay();
  int QueueCommand(std::int32_t code, double speed);

  // Transport state machine.
  std::int32_t GetState();
  int SetTimelineState(std::int32_t state);
  bool IsRealtime();
  int ResetToRealtime();
  double GetQueuedTime();
  int UpdatePosition();
  int add_TapeFrag(std::uint32_t fr1, std::uint32_t fr2);
  int CueToFrame(std::uint32_t target);
  int Clvr_PLAY();
  int Clvr_PAUSE();
  int Play_Speed(double new_speed, double time_stamp);

  // Tape loading.
  HRESULT LoadTape(const std::string& path);
  bool InitResourses(std::uint32_t flags, std::int32_t width, std::int32_t height);
  int EjectTape();
  void FreeResources();

  void ReleaseServerObjects();
  std::shared_ptr<IClvSuperClip> SuperClip();
  void SetSuperClip(std::shared_ptr<IClvSuperClip> clip);
  // Runs change on the status block under its lock.
  template <typename Change>
  void ChangeStatus(Change&& change) {
    m_status.Change([&](std::uint8_t* s) { change(s); });
  }

  std::int32_t m_board_index = -1;
  std::uint8_t m_device_type[2] = {0x20, 0x50};
  std::atomic<HRESULT> m_last_result{0};
  CStopwatch m_stopwatch;
  double WindSpeed = 100.0;
  CStatusBlock m_status;
  std::atomic<int> m_thread_running{0};
  std::thread m_thread;
  ManualResetEvent m_thread_started;  // set by the player thread once it serves commands
  ManualResetEvent m_thread_ended;    // set by the player thread as it ends
  CCommandMailbox m_mailbox;
  std::function<void()> m_thread_start_hook;  // set before Initialize only
  // Speed play: the planner is the player thread's own; the speed is mirrored for ReadStatus,
  // which reads it on other threads.
  CSpeedPlanner m_planner;
  std::atomic<double> m_speed{0.0};
  std::shared_ptr<IClvPlayServer> m_play_server;
  CBoardResources m_board_resources;  // on m_play_server's board, once initialised
  std::shared_ptr<IClvResourceHolder> m_resource_holder;
  std::shared_ptr<IClvTimeline> m_TimeLine;
  std::mutex m_super_clip_lock;  // guards m_super_clip: loaded on one thread, ejected on another
  std::shared_ptr<IClvSuperClip> m_super_clip;
  std::atomic<std::uint32_t> m_frame_last{0};
  std::atomic<std::uint32_t> m_current_frame{0};
  std::atomic<std::uint32_t> m_frame_count{0};
  std::atomic<std::uint32_t> m_queue[m_queue_sz] = {};  // recent frames, entry 2 queued last
  std::int32_t m_output_width = 0;
  std::int32_t m_output_height = 0;
  double m_output_rate = 0.0;
  double m_frame_duration = 0.0;
  int m_half_frame_wait = 0;
  int m_quarter_frame_wait = 0;
  int m_three_quarter_frame_wait = 0;
};

}  // namespace vxr
