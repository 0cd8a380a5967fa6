#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vxr {

enum class StreamVideoCodec { kH264, kMpeg2 };
enum class StreamAudioCodec { kAac, kMp2 };

// A program stream destination as the user wrote it, checked and split: what goes to FFmpeg's
// protocol (the URL with its protocol options) and what the encoder takes (our own options,
// taken out of the query).
struct StreamSettings {
  std::string scheme;  // udp, srt or rist
  std::string host;    // without brackets; empty only for an SRT listener
  int port = 0;
  std::string protocol_url;  // handed to FFmpeg: our options removed, defaults added
  std::string display_name;  // protocol_url with secrets replaced by "***"
  bool srt_listener = false;
  bool has_passphrase = false;
  StreamVideoCodec video = StreamVideoCodec::kH264;
  StreamAudioCodec audio = StreamAudioCodec::kAac;
  std::optional<long> video_bitrate;  // bits per second; default by picture size
  long audio_bitrate = 192000;
  std::string x264_preset = "veryfast";
  bool burn_timecode = false;
};

struct ParsedOutputUrl {
  std::optional<StreamSettings> settings;
  std::string error;  // one line in the user's words when settings is empty
};

// Checks a --output value: udp://HOST:PORT, srt://HOST:PORT, rist://HOST:PORT with a query of
// the protocol's FFmpeg options and ours (vcodec=h264|mpeg2, acodec=aac|mp2, vb=, ab=,
// preset=, burntc=0|1). Unknown schemes and options, a missing or bad port, and bad values are
// refused. Pure: nothing is opened.
ParsedOutputUrl ParseOutputUrl(const std::string& url);

// The URL with the values of secret options (passphrase, secret) replaced by "***".
std::string RedactOutputUrl(const std::string& url);

// True when host is a loopback address (127.0.0.0/8, ::1, localhost).
bool IsLoopbackHost(const std::string& host);

}  // namespace vxr
