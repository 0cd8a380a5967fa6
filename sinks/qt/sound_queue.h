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
    std::int64_t skipped_samples = 0;    // dropped to stay within capacity, Trim or Skip
    std::int64_t held_samples = 0;       // silence put in by Hold
    std::int64_t depth_samples = 0;      // queued now
    std::int64_t max_depth_samples = 0;
    bool running = false;  // reads take queued sound (not waiting to start)
  };

  CSoundQueue(int channels, int start_samples, int capacity_samples);

  // Any thread; the lock is held only to copy. due_ns: the steady time the tick's first sample
  // belongs to (its tick's time), -1 when not known.
  void PushTick(const std::vector<std::int16_t>& interleaved, std::int64_t due_ns = -1);
  // Fills samples instants at out (channels values each): queued sound, then silence.
  void Read(std::int16_t* out, int samples);
  // Skips the oldest samples (at most what is queued), to bring the sound forward.
  void Skip(int samples);
  // Puts samples of silence before the queued sound (at most up to capacity), to hold it back.
  // The silence counts as belonging just before the sound it delays, so the head's age grows.
  void Hold(int samples);
  // The steady time the next sample belongs to; -1 when the queue is empty or it is not known.
  std::int64_t HeadDueNs() const;
  Counts counts() const;
  int channels() const { return channels_; }

 private:
  // The queued sound as it came, tick by tick: where each tick's remaining samples belong.
  struct Segment {
    std::int64_t due_ns = -1;  // the tick's first sample; -1 unknown
    std::int64_t taken = 0;    // samples of it already read or skipped
    std::int64_t samples = 0;  // samples it had
  };
  void SkipLocked(std::size_t samples);
  // Forgets samples read or skipped from the front of the segments.
  void ConsumeLocked(std::size_t samples);

  const int channels_;
  const std::size_t start_samples_;
  const std::size_t capacity_samples_;

  mutable std::mutex mutex_;  // guards values_, segments_, running_ and counts_
  std::deque<std::int16_t> values_;
  std::deque<Segment> segments_;  // as many as the ticks in values_, so bounded like it
  bool running_ = false;
  Counts counts_;
};

}  // namespace vxr
