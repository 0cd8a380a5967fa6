#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxr {

// What a receiver decoded from a program stream.
struct ReceivedPicture {
  double seconds = 0;                  // presentation time
  std::optional<std::uint32_t> strip;  // the test tape's frame number read from the picture
  std::string timecode;                // from the timecode SEI; empty without one
  int width = 0;
  int height = 0;
};
struct ReceivedStream {
  std::vector<ReceivedPicture> pictures;
  std::vector<float> sound;  // the left channel, 48 kHz
  double sound_start = 0;    // presentation time of sound[0]
  bool opened = false;
  std::string error;
};

// Receives a program stream as a real receiver does, with FFmpeg's demuxer and decoders: opens
// url (for example udp://127.0.0.1:PORT, or an SRT listener) and decodes until it has
// max_pictures pictures, no data came for idle_timeout, or the deadline passed.
ReceivedStream ReceiveStream(const std::string& url, std::size_t max_pictures,
                             std::chrono::milliseconds idle_timeout,
                             std::chrono::milliseconds deadline);

// A UDP port on 127.0.0.1 that nothing uses at the moment of the call.
int FreeLoopbackUdpPort();

// Finds where a short tone burst starts in sound (first sample above threshold at or after
// from), or -1.
std::int64_t FindToneOnset(const std::vector<float>& sound, std::int64_t from, float threshold);

}  // namespace vxr
