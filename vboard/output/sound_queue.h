#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace vxr {

// The program's sound on its way from the board's ticks to a sound device: each tick's 48 kHz
// stereo samples go in whole, the device takes what it asks for. It never waits and never grows
// without bound:
// - it starts (and starts again after running dry) only once start_samples are queued, so that
//   the device's reads and the ticks' arrivals may jitter against each other;
// - a read that finds too little while running is an underrun: the rest is silence, counted;
// - beyond capacity_samples the oldest samples are skipped, counted, so the sound catches up
//   with the picture instead of lagging further behind.
// A sample here is one instant: one value per channel.
class CSoundQueue {
 public:
  struct Counts {
    std::int64_t ticks = 0;              // ticks pushed
    std::int64_t last_tick_samples = 0;  // the newest tick's share
    std::int64_t samples_in = 0;         // pushed, all ticks together
    std::int64_t samples_out = 0;        // read from the queue (not counting silence)
    std::int64_t silence_samples = 0;    // silence read while waiting to start or in underruns
    std::int64_t underruns = 0;          // reads that ran dry while running
    std::int64_t skipped_samples = 0;    // dropped to stay within capacity or Trim
    std::int64_t depth_samples = 0;      // queued now
    std::int64_t max_depth_samples = 0;
  };

  CSoundQueue(int channels, int start_samples, int capacity_samples);

  // Any thread; the lock is held only to copy.
  void PushTick(const std::vector<std::int16_t>& interleaved);
  // Fills samples instants at out (channels values each): queued sound, then silence.
  void Read(std::int16_t* out, int samples);
  // Skips the oldest samples beyond max_samples (the device already holds the rest of the
  // delay).
  void Trim(int max_samples);
  Counts counts() const;
  int channels() const { return channels_; }

 private:
  void SkipLocked(std::size_t samples);

  const int channels_;
  const std::size_t start_samples_;
  const std::size_t capacity_samples_;

  mutable std::mutex mutex_;  // guards values_, running_ and counts_
  std::deque<std::int16_t> values_;
  bool running_ = false;
  Counts counts_;
};

}  // namespace vxr
