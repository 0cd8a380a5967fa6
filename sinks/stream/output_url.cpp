#include "sinks/stream/output_url.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>
#include <utility>

namespace vxr {
namespace {

constexpr std::string_view kSecretKeys[] = {"passphrase", "secret"};
constexpr std::string_view kPassphraseFileKey = "passphrase-file";
constexpr std::string_view kMaxCallersKey = "maxcallers";
constexpr std::string_view kEncoderOptions[] = {"vcodec", "acodec", "vb",      "ab",  "preset",
                                                "burntc", "delay",  "muxrate", "name"};
constexpr int kMaxPort = 65535;
constexpr long kMinVideoBitrate = 100000;
constexpr long kMaxVideoBitrate = 200000000;
constexpr long kMinAudioBitrate = 32000;
constexpr long kMaxAudioBitrate = 640000;
// The decoder buffer a receiver is given: from a tenth of a second (a receiver next to the deck)
// to five seconds.
constexpr long kMinDelayMs = 100;
constexpr long kMaxDelayMs = 5000;
constexpr long kMinMuxRate = 200000;
constexpr long kMaxMuxRate = kMaxVideoBitrate;

// SRT's own limits on a passphrase; a shorter one would be refused by the library on connect.
constexpr std::size_t kMinPassphrase = 10;
constexpr std::size_t kMaxPassphrase = 79;
// One UDP datagram carries seven 188-byte transport stream packets.
constexpr std::string_view kDefaultUdpPacketSize = "1316";

// FFmpeg's options of each protocol that a stream destination may carry.
constexpr std::string_view kUdpOptions[] = {
    "ttl",     "pkt_size",   "localport", "localaddr",        "buffer_size", "reuse",
    "sources", "block",      "fifo_size", "overrun_nonfatal", "timeout",     "broadcast",
    "bitrate", "burst_bits", "dscp",      "connect"};
constexpr std::string_view kSrtOptions[] = {"mode",
                                            "passphrase",
                                            "pbkeylen",
                                            "latency",
                                            "rcvlatency",
                                            "peerlatency",
                                            "connect_timeout",
                                            "listen_timeout",
                                            "timeout",
                                            "streamid",
                                            "transtype",
                                            "maxbw",
                                            "payload_size",
                                            "pkt_size",
                                            "tlpktdrop",
                                            "nakreport",
                                            "oheadbw",
                                            "linger",
                                            "ipttl",
                                            "iptos",
                                            "inputbw",
                                            "sndbuf",
                                            "rcvbuf",
                                            "smoother",
                                            "messageapi",
                                            "enforced_encryption",
                                            "kmrefreshrate",
                                            "kmpreannounce",
                                            "lossmaxttl",
                                            "minversion",
                                            "ffs",
                                            "mss",
                                            "send_buffer_size",
                                            "recv_buffer_size",
                                            "tsbpddelay"};
constexpr std::string_view kRistOptions[] = {"rist_profile", "buffer_size",     "pkt_size",
                                             "log_level",    "secret",          "encryption",
                                             "fifo_size",    "overrun_nonfatal"};
// Options whose value must be a whole number.
constexpr std::string_view kNumericOptions[] = {
    "ttl",           "pkt_size",         "localport",        "buffer_size",
    "fifo_size",     "timeout",          "bitrate",          "burst_bits",
    "dscp",          "pbkeylen",         "latency",          "rcvlatency",
    "peerlatency",   "connect_timeout",  "listen_timeout",   "maxbw",
    "payload_size",  "oheadbw",          "linger",           "ipttl",
    "iptos",         "inputbw",          "sndbuf",           "rcvbuf",
    "kmrefreshrate", "kmpreannounce",    "lossmaxttl",       "ffs",
    "mss",           "send_buffer_size", "recv_buffer_size", "rist_profile",
    "encryption",    "log_level"};

// The range FFmpeg's protocols (and the libraries behind them) take for a number: FFmpeg reads
// these only when it connects and refuses a bad one as an I/O error, so the deck checks them at
// start. scheme empty: any. Numbers not listed here must not be negative.
struct NumericRange {
  std::string_view scheme;
  std::string_view key;
  long min;
  long max;
};
constexpr long kMaxUdpPayload = 65507;
constexpr long kMaxSrtPayload = 1456;
constexpr long kMaxRistPayload = 9972;
constexpr long kTsPacket = 188;
constexpr NumericRange kRanges[] = {
    {"udp", "pkt_size", kTsPacket, kMaxUdpPayload},
    {"srt", "pkt_size", kTsPacket, kMaxSrtPayload},
    {"srt", "payload_size", kTsPacket, kMaxSrtPayload},
    {"rist", "pkt_size", kTsPacket, kMaxRistPayload},
    {"", "ttl", 0, 255},
    {"", "ipttl", 1, 255},
    {"", "iptos", 0, 255},
    {"", "dscp", 0, 63},
    {"", "localport", 0, kMaxPort},
    {"", "mss", 76, 1500},
    {"", "rist_profile", 0, 2},
    {"", "log_level", -1, 7},
    {"", "oheadbw", 5, 100},
};

constexpr std::string_view kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",
                                         "fast",      "medium",    "slow"};

template <std::size_t N>
bool Contains(const std::string_view (&list)[N], std::string_view key) {
  return std::find(std::begin(list), std::end(list), key) != std::end(list);
}

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool IsSecret(std::string_view key) { return Contains(kSecretKeys, Lowercase(key)); }

// Whether a value under key may be shown: the key, in any case, is one the deck knows and not a
// secret.
bool MayShow(std::string_view key) {
  const std::string lower = Lowercase(key);
  if (IsSecret(lower)) return false;
  return lower == kPassphraseFileKey || lower == kMaxCallersKey ||
         Contains(kEncoderOptions, lower) || Contains(kUdpOptions, lower) ||
         Contains(kSrtOptions, lower) || Contains(kRistOptions, lower);
}

std::optional<long> ParseWhole(std::string_view text) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
  return value;
}

// "5M", "800k", "192000": a bit rate.
std::optional<long> ParseBitrate(std::string_view text) {
  long scale = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) scale = 1000;
  if (!text.empty() && (text.back() == 'm' || text.back() == 'M')) scale = 1000000;
  if (scale != 1) text.remove_suffix(1);
  const std::optional<long> value = ParseWhole(text);
  if (!value || *value <= 0 || *value > kMaxVideoBitrate / scale) return {};
  return *value * scale;
}

struct QueryItem {
  std::string key;
  std::string value;
};

std::string JoinQuery(const std::vector<QueryItem>& items, bool redact) {
  std::string query;
  for (const QueryItem& item : items) {
    query += query.empty() ? "?" : "&";
    query += item.key + "=" + (redact && IsSecret(item.key) ? std::string("***") : item.value);
  }
  return query;
}

// Why an option's value is refused, the value hidden when it is a secret.
std::string BadValue(const std::string& key, const std::string& value,
                     const std::string& expected) {
  return "option " + key + "=" + (MayShow(key) ? value : std::string("***")) + ": " + expected;
}

// Empty when a whole number value of key is in the scheme's range, else why not.
std::string CheckRange(const std::string& scheme, const std::string& key, long value) {
  for (const NumericRange& range : kRanges) {
    if ((range.scheme.empty() || range.scheme == scheme) && range.key == key) {
      if (value >= range.min && value <= range.max) return std::string();
      return BadValue(
          key, std::to_string(value),
          "a number from " + std::to_string(range.min) + " to " + std::to_string(range.max));
    }
  }
  return value < 0 ? BadValue(key, std::to_string(value), "a number not below 0") : std::string();
}

// HOST:PORT, [IPv6]:PORT or :PORT (after the scheme, before the query) into s; empty, or why it
// is refused.
std::string ParseHostPort(std::string rest, StreamSettings* s) {
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string port_text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return "a bracketed address needs ]:PORT after it";
    }
    s->host = rest.substr(1, close - 1);
    port_text = rest.substr(close + 2);
  } else {
    const std::size_t last = rest.rfind(':');
    if (last == std::string::npos) return "no port (write HOST:PORT)";
    s->host = rest.substr(0, last);
    port_text = rest.substr(last + 1);
  }
  if (s->host.find_first_of("/@ \t") != std::string::npos) return "not a host name";
  const std::optional<long> port = ParseWhole(port_text);
  if (port_text.empty()) return "no port (write HOST:PORT)";
  if (!port || *port < 1 || *port > kMaxPort) {
    return "port '" + port_text + "' is not a number from 1 to 65535";
  }
  s->port = static_cast<int>(*port);
  return std::string();
}

// The deck's own options (the encoders'): false when key is none of them; otherwise true, with
// why set when the value is refused.
bool ParseEncoderOption(const std::string& key, const std::string& value, StreamSettings* s,
                        std::string* why) {
  auto refuse = [&](const std::string& expected) { *why = BadValue(key, value, expected); };
  if (key == "vcodec") {
    if (value == "h264" || value == "mpeg2") {
      s->video = value == "h264" ? StreamVideoCodec::kH264 : StreamVideoCodec::kMpeg2;
    } else {
      refuse("h264 or mpeg2");
    }
  } else if (key == "acodec") {
    if (value == "aac" || value == "mp2") {
      s->audio = value == "aac" ? StreamAudioCodec::kAac : StreamAudioCodec::kMp2;
    } else {
      refuse("aac or mp2");
    }
  } else if (key == "vb") {
    const std::optional<long> rate = ParseBitrate(value);
    if (!rate || *rate < kMinVideoBitrate) return refuse("a bit rate from 100k to 200M"), true;
    s->video_bitrate = rate;
  } else if (key == "ab") {
    const std::optional<long> rate = ParseBitrate(value);
    if (!rate || *rate < kMinAudioBitrate || *rate > kMaxAudioBitrate) {
      return refuse("a bit rate from 32k to 640k"), true;
    }
    s->audio_bitrate = *rate;
  } else if (key == "preset") {
    if (!Contains(kPresets, value)) return refuse("an x264 preset (ultrafast ... slow)"), true;
    s->x264_preset = value;
  } else if (key == "delay") {
    const std::optional<long> ms = ParseWhole(value);
    if (!ms || *ms < kMinDelayMs || *ms > kMaxDelayMs) {
      return refuse("milliseconds from 100 to 5000"), true;
    }
    s->delay_ms = static_cast<int>(*ms);
  } else if (key == "muxrate") {
    const std::optional<long> rate = ParseBitrate(value);
    if (!rate || *rate < kMinMuxRate || *rate > kMaxMuxRate) {
      return refuse("a bit rate from 200k to 200M"), true;
    }
    s->mux_rate = rate;
  } else if (key == "name") {
    const bool printable = std::all_of(value.begin(), value.end(),
                                       [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
    if (value.empty() || value.size() > kMaxServiceNameLength || !printable) {
      return refuse("a service name of 1 to 64 printable characters"), true;
    }
    s->service_name = value;
  } else if (key == "burntc") {
    if (value != "0" && value != "1") return refuse("0 or 1"), true;
    s->burn_timecode = value == "1";
  } else {
    return false;
  }
  return true;
}

// One of FFmpeg's options of the scheme's protocol: empty when it is known with a good value
// (s takes what the deck needs to know of it), else why it is refused.
std::string CheckProtocolOption(const std::string& key, const std::string& value,
                                StreamSettings* s) {
  const bool known = (s->scheme == "udp" && Contains(kUdpOptions, key)) ||
                     (s->scheme == "srt" && Contains(kSrtOptions, key)) ||
                     (s->scheme == "rist" && Contains(kRistOptions, key));
  if (!known) return "unknown option '" + key + "' for " + s->scheme;
  if (Contains(kNumericOptions, key)) {
    const std::optional<long> number = ParseWhole(value);
    if (!number) return BadValue(key, value, "a whole number");
    if (std::string why = CheckRange(s->scheme, key, *number); !why.empty()) return why;
  }
  if (key == "mode") {
    if (value != "caller" && value != "listener" && value != "rendezvous") {
      return BadValue(key, value, "caller, listener or rendezvous");
    }
    s->srt_listener = value == "listener";
  }
  if (key == "passphrase") {
    if (value.size() < kMinPassphrase || value.size() > kMaxPassphrase) {
      return BadValue(key, value, "a passphrase of 10 to 79 characters");
    }
    s->has_passphrase = true;
  }
  if (key == "pbkeylen" && value != "0" && value != "16" && value != "24" && value != "32") {
    return BadValue(key, value, "0, 16, 24 or 32");
  }
  return std::string();
}

// The query, NAME=VALUE joined by &: the deck's options into s, the protocol's into
// protocol_items; empty, or why it is refused.
std::string ParseQuery(std::string_view query, StreamSettings* s,
                       std::vector<QueryItem>* protocol_items) {
  std::set<std::string> seen;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    // Not repeated: what was meant as a name may be a secret.
    if (equals == std::string_view::npos || equals == 0) {
      return "an option needs the form NAME=VALUE";
    }
    // FFmpeg matches names as written, in lowercase: Passphrase= passed on would be ignored.
    const std::string key = Lowercase(item.substr(0, equals));
    const std::string value(item.substr(equals + 1));
    // The deck and FFmpeg would each take another of the values.
    if (!seen.insert(key).second) return "option '" + key + "' is given twice";
    std::string why;
    if (key == kPassphraseFileKey && s->scheme == "srt") {
      if (value.empty()) return "option passphrase-file needs a file name";
      s->passphrase_file = value;
    } else if (key == kMaxCallersKey && s->scheme == "srt") {
      const std::optional<long> callers = ParseWhole(value);
      if (!callers || *callers < 1 || *callers > kMaxSrtCallers) {
        return BadValue(key, value, "a number of callers from 1 to 64");
      }
      s->max_callers = static_cast<int>(*callers);
    } else if (!ParseEncoderOption(key, value, s, &why)) {
      why = CheckProtocolOption(key, value, s);
      if (why.empty()) protocol_items->push_back({key, value});
      if (why.empty() && key == "bitrate") s->udp_pacing_given = true;
      if (why.empty() && IsSecret(key)) s->secret_values.push_back(value);
    }
    if (!why.empty()) return why;
  }
  return std::string();
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  return host == "localhost" || host == "::1" || host.starts_with("127.");
}

std::string RedactOutputUrl(const std::string& url) {
  const std::size_t question = url.find('?');
  std::string result = url.substr(0, question == std::string::npos ? url.size() : question + 1);
  const std::size_t scheme_end = result.find("://");
  const std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  if (const std::size_t at = result.find('@', authority); at != std::string::npos) {
    result.replace(authority, at - authority, "***");
  }
  if (question == std::string::npos) return result;
  std::string_view query(url);
  query.remove_prefix(question + 1);
  bool first = true;
  while (true) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const std::size_t equals = item.find('=');
    if (!first) result += '&';
    first = false;
    if (equals == std::string_view::npos) {
      if (!item.empty()) result += "***";
    } else if (!MayShow(item.substr(0, equals))) {
      result += std::string(item.substr(0, equals)) + "=***";
    } else {
      result += item;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return result;
}

ParsedOutputUrl ParseOutputUrl(const std::string& url) {
  ParsedOutputUrl parsed;
  auto fail = [&parsed, &url](const std::string& why) {
    parsed.error = "output '" + RedactOutputUrl(url) + "': " + why;
    return parsed;
  };
  const std::size_t colon = url.find("://");
  if (colon == std::string::npos) {
    return fail("not a stream address (udp://HOST:PORT, srt://HOST:PORT or rist://HOST:PORT)");
  }
  StreamSettings s;
  s.scheme = url.substr(0, colon);
  std::transform(s.scheme.begin(), s.scheme.end(), s.scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (s.scheme != "udp" && s.scheme != "srt" && s.scheme != "rist") {
    return fail("unknown kind of output '" + s.scheme + "' (udp, srt or rist)");
  }
  std::string rest = url.substr(colon + 3);
  std::string query;
  if (const std::size_t question = rest.find('?'); question != std::string::npos) {
    query = rest.substr(question + 1);
    rest.resize(question);
  }
  std::vector<QueryItem> protocol_items;
  std::string why = ParseHostPort(rest, &s);
  if (why.empty()) why = ParseQuery(query, &s, &protocol_items);
  if (!why.empty()) return fail(why);
  if (s.host.empty() && !s.srt_listener) return fail("no host (write HOST:PORT)");
  if (s.has_passphrase && !s.passphrase_file.empty()) {
    return fail("passphrase and passphrase-file together: give one of them");
  }
  if (s.scheme == "udp" &&
      std::none_of(protocol_items.begin(), protocol_items.end(),
                   [](const QueryItem& item) { return item.key == "pkt_size"; })) {
    protocol_items.push_back({"pkt_size", std::string(kDefaultUdpPacketSize)});
  }
  const std::string host_part = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
  const std::string base = s.scheme + "://" + host_part + ":" + std::to_string(s.port);
  s.protocol_url = base + JoinQuery(protocol_items, false);
  s.display_name = base + JoinQuery(protocol_items, true);
  if (!s.passphrase_file.empty()) {
    s.display_name += (protocol_items.empty() ? "?" : "&") + std::string("passphrase=***");
  }
  parsed.settings = std::move(s);
  return parsed;
}

bool LoadPassphraseFile(StreamSettings* settings, std::string* error) {
  const std::string& name = settings->passphrase_file;
  if (name.empty()) return true;
  std::string path = name;
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (name.front() != '/' && credentials != nullptr && *credentials != '\0') {
    path = std::string(credentials) + "/" + name;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "passphrase-file '" + path + "' cannot be read: " + std::strerror(errno);
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "passphrase-file '" + path + "' cannot be read";
    return false;
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.find_first_of("\r\n") != std::string::npos || text.size() < kMinPassphrase ||
      text.size() > kMaxPassphrase) {
    *error = "passphrase-file '" + path + "' does not hold one line of 10 to 79 characters";
    return false;
  }
  settings->passphrase = std::move(text);
  settings->has_passphrase = true;
  return true;
}

}  // namespace vxr
