#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxr {

class CSuperClip;
class CMovieSound;

// The tape's sound for the program output: each clip's own sound for its in-to-out range, on the
// tape's 48 kHz time line (tape sample 0 is tape frame 0's start), decoded by a worker thread
// ahead of the output. The output thread only copies what is ready and never waits: a read of
// sound that is not decoded yet gives silence and is counted.
class CTapeSound {
 public:
  CTapeSound();
  ~CTapeSound();
  CTapeSound(const CTapeSound&) = delete;
  CTapeSound& operator=(const CTapeSound&) = delete;

  // Where the output is: the tape, the tape sample now on the output and whether it moves
  // forward at play speed. The worker decodes the sound from there on (a second ahead while
  // moving, a little while still, so that play starts with its sound ready). Never waits.
  void Follow(const std::shared_ptr<CSuperClip>& tape, std::int64_t tape_sample, bool moving);
  // Copies count stereo samples from tape_sample into out; false (out silent) when they are not
  // all decoded yet. Never waits.
  bool Take(const std::shared_ptr<CSuperClip>& tape, std::int64_t tape_sample, int count,
            std::int16_t* out);
  // Waits until the worker has decoded what Follow asked for (tests, benchmarks).
  bool WaitIdle(int timeout_ms);
  std::int64_t underruns() const;

  // The sound of samples [first, first + count) of the tape, read synchronously (the worker's
  // step; tests). Clips without sound and the gaps between are silence.
  static bool ReadTape(const CSuperClip& tape,
                       std::map<std::string, std::unique_ptr<CMovieSound>>* movies,
                       std::int64_t first, int count, std::int16_t* out);

 private:
  void Run();

  mutable std::mutex mutex_;  // guards everything below but thread_
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::shared_ptr<CSuperClip> tape_;
  std::int64_t want_from_ = 0;
  std::int64_t want_to_ = 0;
  // Decoded sound: blocks of kBlockSamples stereo samples keyed by their first tape sample.
  std::map<std::int64_t, std::vector<std::int16_t>> blocks_;
  bool busy_ = false;
  bool stop_ = false;
  std::int64_t underruns_ = 0;
  std::thread thread_;  // "sound decode"
};

}  // namespace vxr
