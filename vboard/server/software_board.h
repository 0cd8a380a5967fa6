#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"
#include "vboard/server/board_state.h"

namespace vxr {

class CSuperClip;
class CTimeline;

// What the board's output monitor showed during an output frame (vboard/README.md, "Output
// record", says exactly when each applies).
enum class MonitorShowed {
  kNoMonitor,     // no monitor watches this board
  kRightPicture,  // the tick's picture was decoded and handed over within the tick's frame
  kOtherPicture,  // it was not: another picture, or none, stood for it
  kKeyFrame,      // winding faster than decoding keeps up: the key frame at or before the
                  // tick's picture stood for it, by design (never the tick's picture)
  kLate,          // the output thread itself reached the tick after its frame had passed
};

// One output frame of a board: which tape frame a viewer saw during that tick's period.
struct OutputFrame {
  int board = 0;
  std::int64_t tick = 0;         // output tick number since the board started
  std::int64_t steady_ns = 0;    // the tick's time on the board clock (the steady clock)
  std::int64_t reached_ns = 0;   // when the output thread took the tick, on the same clock
  std::int64_t tape_frame = -1;  // -1 while no picture was ever shown
  std::string timecode;          // HH:MM:SS:FF of tape_frame at the output's timecode rate
  MonitorShowed monitor = MonitorShowed::kNoMonitor;
};

// HH:MM:SS:FF of a tape frame at a timecode rate (25 or 30); "--:--:--:--" for a frame below 0.
std::string TimecodeText(std::int64_t frame, int fps);

// The software video board: the server's shared state, its registration and the output record.
// With the steady clock (the default) an output thread ticks at the output rate and records
// every output frame; with another clock nothing runs by itself and PumpOutput records up to
// the clock's present.
class CSoftwareBoard {
 public:
  using OutputCallback = std::function<void(const OutputFrame&)>;

  explicit CSoftwareBoard(BoardConfig config, std::shared_ptr<IBoardClock> clock = nullptr);
  // Stops the output thread; a board that registered itself, and is still the one registered,
  // unregisters. Objects made by the server keep working.
  ~CSoftwareBoard();
  CSoftwareBoard(const CSoftwareBoard&) = delete;
  CSoftwareBoard& operator=(const CSoftwareBoard&) = delete;

  // Registers ClvPlayServer, ClvResourceHolder and ClvMovie, bound to this board.
  void Register();

  const BoardConfig& config() const { return state_->config(); }
  BoardResources Resources(int board) const { return state_->Resources(board); }
  // Marks a resource as in use elsewhere: acquiring it fails with ERROR_BUSY.
  void SetResourceBusy(int board, int id, bool busy);
  // The timeline that drives the board's output, if any.
  std::shared_ptr<CTimeline> Timeline(int board) const { return state_->Timeline(board); }
  // Makes the board's timeline stop on error (state 5); false without a timeline.
  bool InjectStopOnError(int board);
  // Server calls that fail on a test's demand (never armed otherwise).
  CFaultInjector& Faults() { return *state_->Faults(); }

  // The board clock, its present, and when its output ticks fall.
  const std::shared_ptr<const IBoardClock>& clock() const { return state_->clock(); }
  std::int64_t NowNs() const { return state_->clock()->NowNs(); }
  const FrameGrid& grid() const { return state_->grid(); }

  // Output record subscribers. Callbacks run on the output thread (or in PumpOutput) and must
  // not call PumpOutput, Subscribe or Unsubscribe. Once Unsubscribe returns, no call of that
  // callback is running or will run.
  int Subscribe(OutputCallback callback);
  void Unsubscribe(int id);
  // Records every output tick up to the clock's present, in order, exactly once.
  void PumpOutput();

  // A board's output monitor sees each output frame of that board before subscribers and the
  // file do, and what it answers goes into the record. An empty callback detaches the monitor;
  // once SetMonitor returns, no call of the previous one is running. The callback runs on the
  // output thread (or in PumpOutput), must not wait, and must not call SetMonitor or PumpOutput.
  using MonitorCallback = std::function<MonitorShowed(const OutputFrame& frame,
                                                      const std::shared_ptr<CSuperClip>& tape)>;
  void SetMonitor(int board, MonitorCallback monitor);
  // The board's preparing ends at a tick where this says its first queued picture is ready
  // (CTimeline::ReadyCheck: under the timeline's lock, never waits); empty to remove. Once it
  // returns, no call of the previous check is running.
  void SetReadyCheck(int board, CTimeline::ReadyCheck check) {
    state_->SetReadyCheck(board, std::move(check));
  }

 private:
  void RunOutputClock();
  void Deliver(const OutputFrame& frame);

  std::shared_ptr<CBoardState> state_;
  bool registered_ = false;

  std::mutex pump_mutex_;  // guards last_reported_ and log_; serialises PumpOutput
  std::vector<std::int64_t> last_reported_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_{nullptr, &std::fclose};

  std::mutex monitor_mutex_;  // guards monitors_; held while a monitor runs
  std::map<int, MonitorCallback> monitors_;

  std::mutex subscribers_mutex_;  // guards subscribers_ and next_id_; held while they run
  std::map<int, OutputCallback> subscribers_;
  int next_id_ = 1;

  std::mutex stop_mutex_;  // guards stop_
  std::condition_variable stop_signal_;
  bool stop_ = false;
  std::thread output_thread_;  // runs RunOutputClock with the steady clock
};

// The program's start-up: the configuration from the environment (see board_config.h), a board
// registered with it, or none when VXR_BOARD_REGISTERED=0.
std::unique_ptr<CSoftwareBoard> StartBoardFromEnvironment();

}  // namespace vxr
