#pragma once

#include <cstdint>
#include <string>

namespace vxr {

// How a test tape's pictures are coded.
enum class TapeCodec {
  kMjpeg,  // every picture intra-coded, so every picture is a seek point
  kMpeg4,  // MPEG-4 part 2: key frames every gop pictures, B pictures between
  kH264,   // H.264 (libx264, preset superfast): key frames every gop pictures, B pictures between
};

// A test tape: frames numbered from 0, each showing its number (tape_picture.h). The container
// follows the file name: .mkv Matroska, .mp4 MP4, .mov QuickTime, .mxf MXF, anything else AVI.
struct TapeSpec {
  std::uint32_t frames = 250;
  int width = 720;
  int height = 576;
  int rate_num = 25;  // 25/1 or 30000/1001
  int rate_den = 1;
  int quality = 3;  // MJPEG and MPEG-4 quantiser, 2 (best) .. 31; H.264 constant rate factor 18 + q
  TapeCodec codec = TapeCodec::kMjpeg;
  int gop = 12;           // inter codecs: a key frame every gop pictures (1 .. 100000)
  int b_frames = 2;       // inter codecs: B pictures between reference pictures (0 .. 3)
  bool open_gop = false;  // H.264: B pictures just before a key frame may refer to it
  int audio_tracks = 0;   // silent sound tracks beside the pictures (0 .. 16), 8 kHz mono PCM
                          // in 10 ms packets
  // With tone_bursts, one more track: stereo PCM at sound_rate (48000 or 44100) that is silent
  // but for a 10 ms 1 kHz tone burst starting exactly at the first sample of every frame whose
  // number is a multiple of the timecode rate (25 or 30), so that tests can measure how far
  // picture and sound are apart.
  bool tone_bursts = false;
  int sound_rate = 48000;
  // Any video encoder of the library by name ("mpeg2video", "dvvideo", "ffv1", "prores_ks",
  // "dnxhd", "libx265", "rawvideo", ...) instead of codec, with its pixel format (empty: the
  // encoder's first), its options as "key=value;key=value" (codec and private options), a bit
  // rate (0: the encoder's default) and gop / b_frames as above.
  std::string encoder;
  std::string pixel_format;
  std::string encoder_options;
  std::int64_t bit_rate = 0;
  bool interlaced = false;  // pictures coded as two fields, upper first
  // The tone track's encoder by name ("mp2", "libmp3lame", "aac", "ac3", "pcm_s24le"; empty:
  // 16-bit PCM).
  std::string sound_encoder;
  // Variable frame rate: with uneven > 0 (4 at least), every picture whose number leaves 1 when
  // divided by uneven shows for three frame periods (its packet says so): the two numbers after
  // it are never drawn. Containers that keep each picture's duration only (Matroska).
  int uneven = 0;
};

// The number of the picture that shows during frame period n of a tape written to spec.
std::uint32_t PictureShownAt(const TapeSpec& spec, std::uint32_t n);

// Writes the tape. False with a reason on failure; a half-written file is removed.
bool WriteTestTape(const std::string& path, const TapeSpec& spec, std::string* error);

}  // namespace vxr
