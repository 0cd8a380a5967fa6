#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vxr {

// The program output's sound: 48 kHz, two channels, 16-bit samples interleaved left, right.
inline constexpr int kProgramSoundRate = 48000;
inline constexpr int kProgramSoundChannels = 2;

// One output tick of the program as a viewer and a listener get it: the composed picture (the
// tape frame placed on black, output-sized, pixels 0xAARRGGBB), the tick's sound and the
// timecode of the picture. Shared read-only between the sinks.
struct ProgramFrame {
  std::int64_t tick = 0;
  std::int64_t steady_ns = 0;
  std::int64_t tape_frame = -1;  // -1: black, no picture on the output yet
  std::string timecode;          // HH:MM:SS:FF, or --:--:--:-- before any picture
  int width = 0;
  int height = 0;
  std::shared_ptr<const std::vector<std::uint32_t>> pixels;  // width x height, never null
  std::vector<std::int16_t> sound;  // this tick's share, kProgramSoundChannels per sample
  // The picture is 16:9 rather than 4:3: standard-definition material whose pixels are meant
  // that wide (see WideMaterial). Other outputs have square pixels and ignore it.
  bool wide = false;
};

// What a program sink has done so far.
struct ProgramSinkStats {
  std::int64_t received = 0;  // ticks handed to the sink
  std::int64_t sent = 0;      // pictures that left the sink
  std::int64_t dropped = 0;   // pictures dropped: the sink was behind, or not connected
  std::int64_t failures = 0;  // times the destination failed (open or write)
  int callers = -1;           // receivers connected now, for outputs that take callers; else -1
};

// A place the program goes: a network stream, a screen, a sound device, a monitor window, or a
// vendor kit's card. A sink gets composed pictures, ticks, timecodes and sound and nothing about
// the player. Push is called on the board's output thread: it must never wait, so every sink
// keeps its own bounded queue and thread.
class IProgramSink {
 public:
  virtual ~IProgramSink() = default;
  virtual void Push(std::shared_ptr<const ProgramFrame> frame) = 0;
  virtual ProgramSinkStats Stats() const = 0;
  // The name used in diagnostics (a URL without its secrets, a screen's name, ...).
  virtual std::string Name() const = 0;
};

}  // namespace vxr
