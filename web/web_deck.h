#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vxr {

// One output's figures as the page and the metrics show them.
struct WebOutputFigures {
  std::string name;  // what it sends where
  std::int64_t sent = 0;
  std::int64_t dropped = 0;
  std::int64_t failures = 0;
  int callers = -1;  // receivers connected now (a listener's callers); -1: not that kind
};

// What the page sees of the deck at one moment. Read often (every look of the event stream).
struct WebDeckState {
  bool has_player = false;
  std::array<std::uint8_t, 16> status{};  // the deck's 16 status bytes
  std::uint32_t frame = 0;                // the current tape frame
  std::uint32_t frame_count = 0;          // the tape's length; 0 without a tape
  int rate = 25;                          // timecode frames per second
  int tape_id = 0;                        // the library id of the tape in; 0 for none
  std::string tape_name;                  // empty without a tape
  std::vector<WebOutputFigures> outputs;
};

// One tape of the library: offered (id > 0) or not playable (id 0, with the reason).
struct WebTape {
  int id = 0;
  std::string name;
  std::uint32_t frames = 0;
  std::string format;  // e.g. "PAL", "1080i50"
  std::string problem;
};

// The deck's health for a monitoring system: counters since the start, figures now.
struct WebMetrics {
  // Output ticks by what the record says the monitor showed.
  std::int64_t ticks_right = 0;
  std::int64_t ticks_missed = 0;
  std::int64_t ticks_key = 0;
  std::int64_t ticks_late = 0;
  // The deck's own share of the serial replies' latency: cumulative counts at each bound.
  struct Bucket {
    double upper_seconds = 0.0;
    std::int64_t count = 0;
  };
  std::vector<Bucket> reply_buckets;
  std::int64_t reply_count = 0;
  double reply_sum_seconds = 0.0;
  std::int64_t frames_answered = 0;
  std::int64_t frames_dropped = 0;
  std::vector<WebOutputFigures> outputs;
  std::int64_t sound_underruns = 0;
  std::int64_t decoder_bytes = 0;
  std::int64_t decoder_peak_bytes = 0;
  bool tape_loaded = false;
  bool remote = false;
  // The page's transport commands that the deck carried out: from the request read whole to
  // the deck having acted, cumulative counts at each bound (the web server's own figures).
  std::vector<Bucket> transport_buckets;
  std::int64_t transport_count = 0;
  double transport_sum_seconds = 0.0;
};

// What a page asks the deck to do.
struct WebAction {
  enum class Kind {
    kPlay,
    kStop,
    kRewind,
    kFastForward,
    kJog,
    kShuttle,
    kCue,
    kLoad,
    kEject,
    kSetRemote
  };
  Kind kind = Kind::kStop;
  double speed = 0.0;       // kJog, kShuttle: 1.0 is play speed, negative is reverse
  std::uint32_t frame = 0;  // kCue: the tape frame
  int tape_id = 0;          // kLoad: the library id
  bool remote = false;      // kSetRemote: true hands the deck to remote control
};

// How an action ended: an HTTP status (200, 404 for an unknown tape, 409 when the deck is not
// in a state to do it, 500) and a few words for the page.
struct WebResult {
  int status = 200;
  std::string message;
};

// The program as the page shows it: the newest thumbnail and the sound's peak meters.
struct WebThumbnail {
  bool made = false;          // a thumbnail is made at all (the board has its program)
  std::int64_t sequence = 0;  // pictures so far; 0: none yet
  std::shared_ptr<const std::string> jpeg;
  std::string timecode;             // the thumbnail's
  std::int64_t meter_sequence = 0;  // meter readings so far
  std::vector<double> peaks_dbfs;   // per channel, over the newest fifth of a second
};

// The deck as the web server drives it. The application implements it: State, Library,
// Metrics and LogLines from any thread, without waiting on the user-interface thread; Submit
// hands the action to the user-interface thread and returns at once, and done is called once
// with its result (on any thread, perhaps before Submit returns).
class IWebDeck {
 public:
  virtual ~IWebDeck() = default;
  virtual WebDeckState State() = 0;
  virtual std::vector<WebTape> Library() = 0;
  virtual WebMetrics Metrics() = 0;
  virtual std::vector<std::string> LogLines() = 0;
  virtual void Submit(const WebAction& action, std::function<void(WebResult)> done) = 0;
  // From any thread, without waiting on the encoding; none by default.
  virtual WebThumbnail Thumbnail() { return {}; }
};

}  // namespace vxr
