#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vxr {

// The sound of one movie as the program output plays it: the movie's first sound stream,
// resampled to 48 kHz stereo, 16-bit, on a time line whose sample 0 is the time of the movie's
// first picture (so that a movie's sound meets its pictures whatever the stream's start times).
// A movie without sound reads as silence. Reads continue cheaply from where the last one ended;
// any other position seeks. Not thread-safe: one worker owns it.
class CMovieSound {
 public:
  // Opens path; a movie without a sound stream opens too (has_sound() false). Null with a reason
  // when the file cannot be read.
  static std::unique_ptr<CMovieSound> Open(const std::string& path, std::string* error);
  ~CMovieSound();
  CMovieSound(const CMovieSound&) = delete;
  CMovieSound& operator=(const CMovieSound&) = delete;

  bool has_sound() const;
  // Fills count stereo samples from sample first (48 kHz, 0 = the first picture's time) into
  // out (2 x count values). Samples before the sound starts or after it ends are silence.
  // False when decoding failed (out is then silence).
  bool Read(std::int64_t first, int count, std::int16_t* out);

 private:
  struct State;
  explicit CMovieSound(std::unique_ptr<State> state);
  bool SeekTo(std::int64_t sample);
  bool DecodeMore();

  std::unique_ptr<State> state_;
};

}  // namespace vxr
