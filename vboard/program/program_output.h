#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vboard/program/board_monitor.h"
#include "vboard/program/program_frame.h"
#include "vboard/program/sound_planner.h"
#include "vboard/program/tape_sound.h"
#include "vboard/server/software_board.h"

namespace vxr {

// The board's program output: at every output tick of the deck's board it composes what a viewer
// and a listener get — the picture the board's monitor chose for the tick, placed as the board
// places it (black before any picture), the tick's share of the tape's sound and the tick's
// timecode — and hands it to every sink (the monitor window, streams). It is the monitor's
// listener, so it runs on the board's output thread right after each tick's grading, and never
// waits: the sound comes from what a worker has decoded ahead, and every sink queues on its own.
// Destroy it before the monitor and the board.
// Whether material of width x height pixels, meant to be seen at aspect_ratio (width / height),
// makes an output of output_width x output_height 16:9: the board places material pixel for
// pixel, so it does when the material's pixels are as wide as the output's 16:9 pixels (within
// a few percent, as 720x480 material on a 720x486 output). 4:3 material and square pixels do not.
bool WideMaterial(int width, int height, double aspect_ratio, int output_width, int output_height);

class CProgramOutput {
 public:
  struct Counts {
    std::int64_t ticks = 0;
    std::int64_t sound_underruns = 0;  // ticks whose sound was not decoded in time: silence
  };

  CProgramOutput(CSoftwareBoard& board, CBoardMonitor& monitor);
  ~CProgramOutput();
  CProgramOutput(const CProgramOutput&) = delete;
  CProgramOutput& operator=(const CProgramOutput&) = delete;

  void AddSink(std::shared_ptr<IProgramSink> sink);
  // Once RemoveSink returns, no Push to that sink is running or will run.
  void RemoveSink(const IProgramSink* sink);
  CBoardMonitor& monitor() { return monitor_; }
  std::vector<std::shared_ptr<IProgramSink>> Sinks() const;
  Counts counts() const;
  // Waits until the sound worker has decoded what the output will need next (tests).
  bool WaitSoundDecoded(int timeout_ms) { return sound_.WaitIdle(timeout_ms); }

 private:
  void OnTick(const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape);
  std::vector<std::int16_t> TickSoundSamples(const TickSound& plan,
                                             const std::shared_ptr<CSuperClip>& tape, int share);

  CSoftwareBoard& board_;
  CBoardMonitor& monitor_;
  const OutputFormat format_;

  // Output thread only.
  CSoundPlanner planner_;
  CTapeSound sound_;
  std::shared_ptr<const Picture> composed_from_;
  Placement composed_placement_;
  std::shared_ptr<const std::vector<std::uint32_t>> composed_;

  mutable std::mutex mutex_;  // guards counts_
  Counts counts_;
  mutable std::mutex sinks_mutex_;  // guards sinks_; held while they are pushed to
  std::vector<std::shared_ptr<IProgramSink>> sinks_;
};

}  // namespace vxr
