#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vxr {

// The longest service name a stream carries (name=); printable, so that it logs as written.
inline constexpr std::size_t kMaxServiceNameLength = 64;
// The most callers an SRT listener may be given (maxcallers=).
inline constexpr int kMaxSrtCallers = 64;

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
  // The values of secret options, hidden wherever FFmpeg repeats them.
  std::vector<std::string> secret_values;
  // passphrase-file=PATH as written (SRT): the passphrase is read from it at start.
  std::string passphrase_file;
  // The passphrase read from passphrase_file; handed to FFmpeg as an option, never in a URL.
  std::string passphrase;
  StreamVideoCodec video = StreamVideoCodec::kH264;
  StreamAudioCodec audio = StreamAudioCodec::kAac;
  std::optional<long> video_bitrate;  // bits per second; default by picture size
  long audio_bitrate = 192000;
  std::string x264_preset = "veryfast";
  bool burn_timecode = false;
  // How long ahead of its presentation time each picture and sound frame reaches a receiver,
  // in milliseconds: the decoder's buffer (delay=).
  int delay_ms = 500;
  // The transport stream's constant rate in bits per second (muxrate=); default by the video
  // and sound bit rates.
  std::optional<long> mux_rate;
  // The service's name in the stream's service information (name=); empty: the deck's.
  std::string service_name;
  // An SRT listener's callers at once at the most (maxcallers=); more are refused.
  int max_callers = 8;
  // udp: the user set FFmpeg's bitrate= (pacing) himself; otherwise the stream is paced at its
  // transport rate.
  bool udp_pacing_given = false;
};

struct ParsedOutputUrl {
  std::optional<StreamSettings> settings;
  std::string error;  // one line in the user's words when settings is empty
};

// Checks a --output value: udp://HOST:PORT, srt://HOST:PORT, rist://HOST:PORT with a query of
// the protocol's FFmpeg options and ours (vcodec=h264|mpeg2, acodec=aac|mp2, vb=, ab=,
// preset=, burntc=0|1, delay=MS, muxrate=, name=, and for SRT passphrase-file=PATH and
// maxcallers=N). Option names
// are matched without regard to case and handed to FFmpeg in lowercase. Unknown schemes and
// options, an option given twice, a missing or bad port, and bad values (numbers out of the
// protocol's range among them) are refused. Pure: nothing is opened.
ParsedOutputUrl ParseOutputUrl(const std::string& url);

// The URL as it may be shown: every value but those of the options the deck knows not to be
// secret replaced by "***" (a secret under a misspelt name stays hidden), and any user
// information before an '@' too.
std::string RedactOutputUrl(const std::string& url);

// Reads settings->passphrase_file, when given, into settings->passphrase: a relative name is
// looked up in $CREDENTIALS_DIRECTORY when that is set, else in the working folder; the file's
// one line without its line break is the passphrase, of 10 to 79 characters. False with why
// (naming the file, never its content) when it cannot be read or is no passphrase.
bool LoadPassphraseFile(StreamSettings* settings, std::string* error);

// True when host is a loopback address (127.0.0.0/8, ::1, localhost).
bool IsLoopbackHost(const std::string& host);

}  // namespace vxr
