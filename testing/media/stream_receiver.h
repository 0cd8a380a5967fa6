#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vxr {

// What a receiver decoded from a program stream.
struct ReceivedPicture {
  double seconds = 0;                  // presentation time
  std::optional<std::uint32_t> strip;  // the test tape's frame number read from the picture
  // HH:MM:SS:FF: H.264's picture timing (SMPTE 12M), or for MPEG-2 the GOP header's on a GOP's
  // first picture; empty without one.
  std::string timecode;
  int width = 0;
  int height = 0;
  int aspect_num = 0;  // the pixel aspect ratio the stream signals
  int aspect_den = 0;
  // Pictures are missing right before this one: the sender dropped them, or the transport lost
  // them.
  bool gap_before = false;
  // Decoded from a transport that lost packets (a continuity error, a decoding error, or a
  // picture predicted across a loss or a gap since the last key frame): its content and
  // presentation time are the receiver's guess, not what was sent.
  bool damaged = false;
};
struct ReceivedStream {
  std::vector<ReceivedPicture> pictures;
  std::vector<float> sound;  // the left channel, 48 kHz, placed by presentation time
  double sound_start = 0;    // presentation time of sound[0]
  // Stretches of sound ([first, last) samples) decoded from damaged packets or missing: a
  // receiver that is not scheduled in time loses datagrams, and that is the machine's fault,
  // not the sender's.
  std::vector<std::pair<std::int64_t, std::int64_t>> sound_damaged;
  bool opened = false;
  std::string error;
  // The service information and the video's colour signalling (FFmpeg's AVColor* values).
  std::string service_name;
  std::string service_provider;
  int color_primaries = 0;
  int color_transfer = 0;
  int color_matrix = 0;
};

// Receives a program stream as a real receiver does, with FFmpeg's demuxer and decoders: opens
// url (for example udp://127.0.0.1:PORT, or an SRT listener) and decodes until it has
// max_pictures pictures, no data came for idle_timeout, or the deadline passed.
ReceivedStream ReceiveStream(const std::string& url, std::size_t max_pictures,
                             std::chrono::milliseconds idle_timeout,
                             std::chrono::milliseconds deadline);

// Whether sound samples [first, last) overlap a damaged stretch.
bool SoundDamaged(const ReceivedStream& received, std::int64_t first, std::int64_t last);

// A UDP port on 127.0.0.1 that nothing uses at the moment of the call.
int FreeLoopbackUdpPort();

// Finds where a short tone burst starts in sound (first sample above threshold at or after
// from), or -1.
std::int64_t FindToneOnset(const std::vector<float>& sound, std::int64_t from, float threshold);

}  // namespace vxr
