// How well the board's output monitor keeps up. Prints figures; it is not a test.
//
//   monitor_accuracy [--seconds S] [--gop N] [--encoder NAME [PIXEL_FORMAT]] [--only MOTION]
//                    [--verbose] [--no-1080] [--no-settle]
//   monitor_accuracy --rows [FILTER] [--sizes own,576,1080] [--quick] [--seconds S]
//
// Decoding: the time to decode one picture of an MJPEG tape at 720 x 576 and at 1920 x 1080 and
// of a long-GOP H.264 tape at 1920 x 1080, read on picture after picture and picked at random,
// median, 99th percentile and maximum.
// Following the output: the real player drives a tape on the software board (its real clock)
// with the monitor on it: a 60-second 720 x 576 MJPEG tape on a pal board and (unless --no-1080)
// a 24-second 1920 x 1080 H.264 tape (or --encoder's; a key frame every 50 pictures or --gop,
// two B pictures between references) on a 1080-25 board. For play, jog +1 and -1, shuttle +3 and -3
// and fast wind and rewind, the share of output ticks of each word of the output record: shown (the
// right picture was decoded and handed to the window within the tick's frame), key (winding, the
// key frame at or before it), missed, late (the output thread itself reached the tick after its
// frame). Each motion starts from a cue the decoder has caught up with, or (--no-settle) as soon
// as the cued frame is on the output, as a user who cues and jogs at once.
// --rows: a line per row of the media matrix (testing/media/media_matrix.h; FILTER: rows whose
// name holds it) at its own size, 720 x 576 and 1920 x 1080 (--sizes), on a pal or 1080-25 board:
// the share shown for play, jog +-1 and shuttle +-3 (2 s each, --seconds), what wind and rewind
// show (key frames / right pictures), the decoding time reading on (median, 99th percentile) and
// the decoder's peak memory. --quick: own size and 720 x 576 only, motions of 1 s.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bench/bench_deck.h"
#include "platform/diagnostics.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "testing/media/media_matrix.h"
#include "testing/media/test_tapes.h"
#include "vboard/media/movie_decoder.h"
#include "vboard/program/board_monitor.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

using Clock = std::chrono::steady_clock;

using bench::SleepMs;
using bench::WaitFor;

constexpr std::uint32_t kDecodeFrames = 200;  // pictures of the decoding-time tapes
constexpr int kRandomDecodes = 120;
int h264_gop = 50;    // --gop
std::string encoder;  // --encoder NAME [PIXEL_FORMAT]: another encoder for the long-GOP tape
std::string pixel_format;
bool verbose = false;  // --verbose: where pictures were not shown
std::string only;      // --only MOTION: that motion alone
bool settle = true;    // --no-settle: a motion starts as soon as the cue is on the output
constexpr std::size_t kWhereChars = 300;

std::string MakeTape(const testing::TempFolder& folder, const char* name, const TapeSpec& spec) {
  const auto start = Clock::now();
  std::string error;
  const std::string path = testing::MakeTestTape(folder, name, spec, &error);
  if (path.empty()) {
    std::fprintf(stderr, "cannot make %s: %s\n", name, error.c_str());
  } else {
    std::printf("(made %s, %u frames %dx%d, in %.1f s)\n", name, spec.frames, spec.width,
                spec.height, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return path;
}

TapeSpec Mjpeg(int width, int height, std::uint32_t frames) {
  TapeSpec spec;
  spec.width = width;
  spec.height = height;
  spec.frames = frames;
  return spec;
}

TapeSpec LongGopH264(std::uint32_t frames) {
  TapeSpec spec = Mjpeg(1920, 1080, frames);
  spec.codec = TapeCodec::kH264;
  spec.gop = h264_gop;
  spec.encoder = encoder;
  spec.pixel_format = pixel_format;
  spec.b_frames = 2;
  return spec;
}

double Share(std::int64_t part, std::int64_t whole) {
  return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

// The median and 99th percentile of times, sorted in place.
std::pair<double, double> Percentiles(std::vector<double>* ms) {
  if (ms->empty()) return {0.0, 0.0};
  std::sort(ms->begin(), ms->end());
  return {(*ms)[ms->size() / 2], (*ms)[std::min(ms->size() - 1, ms->size() * 99 / 100)]};
}

void PrintTimes(const char* what, std::vector<double> ms) {
  if (ms.empty()) return;
  const auto [median, p99] = Percentiles(&ms);
  std::printf("  %-28s %5zu pictures: median %6.2f ms, p99 %6.2f ms, max %6.2f ms\n", what,
              ms.size(), median, p99, ms.back());
}

void DecodeTimes(const char* title, const std::string& path, std::uint32_t frames) {
  if (path.empty()) return;
  CMovieDecoder decoder(nullptr, DecoderLimits{}.threads);  // as the board decodes
  if (FAILED(decoder.Open(path))) {
    std::printf("%s: cannot open\n", title);
    return;
  }
  std::printf("decoding %s (one frame period is 40 ms at 25):\n", title);
  const auto time = [&](std::uint32_t frame) {
    std::shared_ptr<const Picture> picture;
    const auto start = Clock::now();
    const HRESULT result = decoder.Decode(frame, &picture);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return SUCCEEDED(result) ? ms : -1.0;
  };
  std::vector<double> sequential, random;
  int failed = 0;
  for (std::uint32_t n = 1; n < std::min(frames, kDecodeFrames); ++n) {
    const double ms = time(n);
    failed += ms < 0;
    if (ms >= 0) sequential.push_back(ms);
  }
  std::mt19937 pick(1);
  for (int i = 0; i < kRandomDecodes; ++i) {
    const double ms = time(static_cast<std::uint32_t>(pick() % frames));
    failed += ms < 0;
    if (ms >= 0) random.push_back(ms);
  }
  PrintTimes("reading on (play)", sequential);
  PrintTimes("random access (cue, wind)", random);
  if (failed > 0) std::printf("  %d pictures failed to decode\n", failed);
}

// The share of a motion's ticks shown and shown as wind's key frames, in per cent.
struct Shares {
  int ticks = 0;
  double shown = 0.0;
  double key = 0.0;
};

class Follow {
 public:
  explicit Follow(BoardConfig config)
      : deck_(std::move(config)), monitor_(std::make_unique<CBoardMonitor>(deck_.board())) {}
  ~Follow() { monitor_.reset(); }

  bool Load(const std::string& path) {
    return deck_.StartPlayer() && deck_.player().InsertTape(path) == 0;
  }

  // Runs a transport command from a cued frame for seconds and counts the output ticks by
  // their word (printed unless quiet).
  Shares Run(const char* name, std::uint32_t from, const std::function<void(CClvrPlayer&)>& command,
             double seconds, bool quiet = false) {
    if (!only.empty() && only != name) return {};
    Cue(from);
    const std::size_t mark = Size();
    command(deck_.player());
    SleepMs(static_cast<int>(seconds * 1000));
    int ticks = 0, shown = 0, missed = 0, key = 0, late = 0, moved = 0;
    std::int64_t previous = -1;
    std::string where;  // the ticks without their picture: tick in the motion @ tape frame
    for (const OutputFrame& frame : Since(mark)) {
      if (frame.monitor != MonitorShowed::kRightPicture && where.size() < kWhereChars) {
        where += " " + std::to_string(ticks) + "@" + std::to_string(frame.tape_frame);
      }
      ++ticks;
      shown += frame.monitor == MonitorShowed::kRightPicture;
      missed += frame.monitor == MonitorShowed::kOtherPicture;
      key += frame.monitor == MonitorShowed::kKeyFrame;
      late += frame.monitor == MonitorShowed::kLate;
      moved += frame.tape_frame != previous;
      previous = frame.tape_frame;
    }
    total_ticks_ += ticks;
    total_shown_ += shown;
    total_missed_ += missed;
    total_key_ += key;
    total_late_ += late;
    const Shares shares{ticks, Share(shown, ticks), Share(key, ticks)};
    if (quiet) {
      deck_.player().Stop();
      WaitFor([&] { return Has(status::Stop); }, 3000);
      return shares;
    }
    std::printf(
        "  %-11s ticks %4d, new pictures %4d: shown %6.2f %%, key %6.2f %%, missed %5.2f %%, "
        "late %5.2f %%\n",
        name, ticks, moved, Share(shown, ticks), Share(key, ticks), Share(missed, ticks),
        Share(late, ticks));
    if (verbose && !where.empty()) std::printf("              not shown at:%s\n", where.c_str());
    deck_.player().Stop();
    WaitFor([&] { return Has(status::Stop); }, 3000);
    return shares;
  }

  CTapeDecoder::Stats decoder_stats() const { return monitor_->decoder_stats(); }

  void PrintTotals() const {
    const CTapeDecoder::Stats stats = monitor_->decoder_stats();
    std::printf(
        "  all motions: ticks %lld: shown %.2f %%, key %.2f %%, missed %.2f %%, late %.2f %%; "
        "decoded %lld, failed %lld, evicted %lld, key frames for wind %lld; "
        "decoder memory at the most %.1f MiB\n",
        static_cast<long long>(total_ticks_), Share(total_shown_, total_ticks_),
        Share(total_key_, total_ticks_), Share(total_missed_, total_ticks_),
        Share(total_late_, total_ticks_), static_cast<long long>(stats.decoded),
        static_cast<long long>(stats.failed), static_cast<long long>(stats.evicted),
        static_cast<long long>(stats.key_frames),
        static_cast<double>(stats.peak_bytes) / (1 << 20));
  }

 private:
  std::size_t Size() { return deck_.RecordSize(); }
  std::vector<OutputFrame> Since(std::size_t mark) { return deck_.RecordSince(mark); }
  bool Has(const StatusBit& bit) { return deck_.Has(bit); }
  void Cue(std::uint32_t frame) {
    deck_.Cue(frame);
    if (!settle) return;
    monitor_->WaitDecoded(5000);
    SleepMs(100);
  }

  bench::CBenchDeck deck_;
  std::unique_ptr<CBoardMonitor> monitor_;  // goes before the deck's board
  std::int64_t total_ticks_ = 0, total_shown_ = 0, total_missed_ = 0, total_key_ = 0,
               total_late_ = 0;
};

// The motions, from cue points spread over a tape of frames pictures.
void RunMotions(Follow& follow, std::uint32_t frames, double seconds) {
  const auto at = [frames](double share) { return static_cast<std::uint32_t>(share * frames); };
  follow.Run(
      "play", at(0.07), [](CClvrPlayer& p) { p.Play(); }, seconds);
  follow.Run(
      "jog +1", at(0.2), [](CClvrPlayer& p) { p.Jog(1.0); }, seconds);
  follow.Run(
      "jog -1", at(0.4), [](CClvrPlayer& p) { p.Jog(-1.0); }, seconds);
  follow.Run(
      "shuttle +3", at(0.2), [](CClvrPlayer& p) { p.Shuttle(3.0); }, seconds);
  follow.Run(
      "shuttle -3", at(0.8), [](CClvrPlayer& p) { p.Shuttle(-3.0); }, seconds);
  follow.Run(
      "fast wind", at(0.07), [](CClvrPlayer& p) { p.FastFwd(); }, std::min(seconds, 1.0));
  follow.Run(
      "rewind", at(0.93), [](CClvrPlayer& p) { p.Rewind(); }, std::min(seconds, 1.0));
  follow.PrintTotals();
}

bool FollowTape(const char* title, const char* format, const std::string& path,
                std::uint32_t frames, double seconds) {
  BoardConfig config;
  if (path.empty() || !FindOutputFormat(format, &config.format)) return false;
  Follow follow(config);
  if (!follow.Load(path)) {
    std::fprintf(stderr, "cannot load %s on the software board\n", title);
    return false;
  }
  std::printf("monitor on the %s board, %s, real player:\n", format, title);
  RunMotions(follow, frames, seconds);
  return true;
}

// The per-row table: every row of the media matrix at its own size, 720 x 576 and 1920 x 1080
// (--sizes), on a 25 board (its own where that is one), each motion for seconds.
bool row_mode = false;                        // --rows [FILTER]
std::string row_filter;                       // rows whose name holds this text; empty: all
std::string sizes = "own,576,1080";           // --sizes
constexpr std::uint32_t kDecodeSample = 100;  // pictures read on for the decoding time

struct Size {
  const char* name;
  int width;  // 0: the row's own
  int height;
  const char* board;  // null: the row's own board when it runs at 25, else pal
};
constexpr Size kSizes[] = {
    {"own", 0, 0, nullptr}, {"576", 720, 576, "pal"}, {"1080", 1920, 1080, "1080-25"}};

// Decoding time per picture reading on (play), as the board decodes: median and 99th percentile.
std::pair<double, double> ReadingOnTimes(const std::string& path, std::uint32_t frames) {
  CMovieDecoder decoder(nullptr, DecoderLimits{}.threads);
  if (FAILED(decoder.Open(path))) return {-1.0, -1.0};
  std::vector<double> ms;
  for (std::uint32_t n = 0; n < std::min(frames, kDecodeSample); ++n) {
    std::shared_ptr<const Picture> picture;
    const auto start = Clock::now();
    if (SUCCEEDED(decoder.Decode(n, &picture))) {
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  return Percentiles(&ms);
}

void RunRow(const testing::TempFolder& folder, const testing::MediaRow& row, const Size& size,
            double seconds) {
  if (row.fixed_size && size.width != 0) return;
  if (size.width == row.width && size.height == row.height) return;  // its own size already
  const double rate = static_cast<double>(row.rate_num) / row.rate_den;
  // Long enough for shuttle at three times play speed from cues across the tape.
  const auto frames = std::max<std::uint32_t>(
      row.frames, static_cast<std::uint32_t>(std::ceil(rate * (4.0 * seconds + 2.0))));
  const TapeSpec spec = testing::SpecOf(row, size.width, size.height, frames);
  const std::string label = std::string(row.name) + " @ " + std::to_string(spec.width) + "x" +
                            std::to_string(spec.height);
  testing::MadeRow made;
  std::string error;
  const std::string prefix = std::string(size.name) + "_";
  if (!testing::MakeRow(folder, row, spec, prefix, &made, &error)) {
    std::printf("%-72s cannot be made: %s\n", label.c_str(), error.c_str());
    return;
  }
  // The deck loads AVI movies and projects: another container goes in as a one-clip project.
  std::string load = made.project.empty() ? made.movie : made.project;
  if (made.project.empty() && load.size() > 4 && load.substr(load.size() - 4) != ".avi") {
    load = folder.WriteFile(prefix + row.file + ".tml", prefix + row.file + "\n");
  }
  const char* board = size.board;
  if (board == nullptr) {
    board = std::string(row.board) == "1080-25" || row.width > 1920 ? "1080-25" : "pal";
  }
  BoardConfig config;
  if (!FindOutputFormat(board, &config.format)) return;
  const auto [p50, p99] = ReadingOnTimes(made.movie, spec.frames);
  Follow follow(config);
  if (!follow.Load(load)) {
    std::printf("%-72s cannot be loaded\n", label.c_str());
    return;
  }
  const double first = row.project ? testing::kRowInFrame : 0.0;
  const auto tape = static_cast<std::uint32_t>((spec.frames - first) / rate * 25.0);
  const auto at = [tape](double share) { return static_cast<std::uint32_t>(share * tape); };
  const double wind_seconds = std::min(seconds, 1.0);
  const Shares play = follow.Run(
      "play", at(0.07), [](CClvrPlayer& p) { p.Play(); }, seconds, true);
  const Shares jog = follow.Run(
      "jog +1", at(0.2), [](CClvrPlayer& p) { p.Jog(1.0); }, seconds, true);
  const Shares back = follow.Run(
      "jog -1", at(0.4), [](CClvrPlayer& p) { p.Jog(-1.0); }, seconds, true);
  const Shares fast = follow.Run(
      "shuttle +3", at(0.2), [](CClvrPlayer& p) { p.Shuttle(3.0); }, seconds, true);
  const Shares rev = follow.Run(
      "shuttle -3", at(0.8), [](CClvrPlayer& p) { p.Shuttle(-3.0); }, seconds, true);
  const Shares wind = follow.Run(
      "fast wind", at(0.07), [](CClvrPlayer& p) { p.FastFwd(); }, wind_seconds, true);
  const Shares rewind = follow.Run(
      "rewind", at(0.93), [](CClvrPlayer& p) { p.Rewind(); }, wind_seconds, true);
  const CTapeDecoder::Stats stats = follow.decoder_stats();
  std::printf(
      "%-72s %-7s %6.1f %6.1f %6.1f %6.1f %6.1f %5.0f/%-5.0f %5.0f/%-5.0f %6.1f %6.1f %7.1f\n",
      label.c_str(), board, play.shown, jog.shown, back.shown, fast.shown, rev.shown, wind.key,
      wind.shown, rewind.key, rewind.shown, p50, p99,
      static_cast<double>(stats.peak_bytes) / (1 << 20));
  std::fflush(stdout);
}

void RunRows(double seconds) {
  av_log_set_level(AV_LOG_ERROR);  // the encoders' banners
  testing::TempFolder folder;
  std::printf(
      "shown %% per motion; wind and rewind: key frame %% / shown %%; decoding reading on, ms a "
      "picture; the decoder's peak memory\n");
  std::printf("%-72s %-7s %6s %6s %6s %6s %6s %-11s %-11s %6s %6s %7s\n", "row @ size", "board",
              "play", "jog+1", "jog-1", "sh+3", "sh-3", "wind k/s", "rewind k/s", "p50", "p99",
              "MiB");
  std::fflush(stdout);
  for (const testing::MediaRow& row : testing::MediaRows()) {
    if (!row_filter.empty() && std::string(row.name).find(row_filter) == std::string::npos)
      continue;
    if (!testing::HasEncoder(row)) {
      std::printf("%-72s no %s encoder here\n", row.name, row.encoder);
      continue;
    }
    for (const Size& size : kSizes) {
      if (sizes.find(size.name) == std::string::npos) continue;
      RunRow(folder, row, size, seconds);
    }
  }
}

}  // namespace
}  // namespace vxr

int main(int argc, char** argv) {
  double seconds = 3.0;
  bool hd = true;
  bool seconds_given = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      seconds_given = true;
    } else if (std::strcmp(argv[i], "--rows") == 0) {
      vxr::row_mode = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') vxr::row_filter = argv[++i];
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      vxr::row_mode = true;
      vxr::sizes = "own,576";
      if (!seconds_given) seconds = 1.0;
    } else if (std::strcmp(argv[i], "--sizes") == 0 && i + 1 < argc) {
      vxr::sizes = argv[++i];
    } else if (std::strcmp(argv[i], "--no-1080") == 0) {
      hd = false;
    } else if (std::strcmp(argv[i], "--encoder") == 0 && i + 1 < argc) {
      vxr::encoder = argv[++i];
      if (i + 1 < argc && argv[i + 1][0] != '-') vxr::pixel_format = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      vxr::only = argv[++i];
    } else if (std::strcmp(argv[i], "--no-settle") == 0) {
      vxr::settle = false;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      vxr::verbose = true;
    } else if (std::strcmp(argv[i], "--gop") == 0 && i + 1 < argc) {
      vxr::h264_gop = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr,
                   "usage: monitor_accuracy [--seconds S] [--gop N] [--encoder NAME "
                   "[PIXEL_FORMAT]] [--only MOTION] [--verbose] [--no-1080] [--no-settle]\n"
                   "       monitor_accuracy --rows [FILTER] [--sizes own,576,1080] [--quick] "
                   "[--seconds S]\n");
      return 2;
    }
  }
  if (vxr::row_mode) {
    if (!seconds_given && vxr::sizes.find("1080") != std::string::npos) seconds = 2.0;
    vxr::RunRows(seconds);
    return 0;
  }
  using vxr::MakeTape;
  vxr::testing::TempFolder folder;
  constexpr std::uint32_t kMinute = 60 * 25;
  constexpr std::uint32_t kH264Frames = 24 * 25;
  vxr::DecodeTimes("MJPEG 720x576", MakeTape(folder, "sd.avi", vxr::Mjpeg(720, 576, 200)), 200);
  std::string h264;
  if (hd) {
    vxr::DecodeTimes("MJPEG 1920x1080", MakeTape(folder, "hd.avi", vxr::Mjpeg(1920, 1080, 200)),
                     200);
    h264 = MakeTape(folder, "hd264.mkv", vxr::LongGopH264(kH264Frames));
    const std::string title =
        (vxr::encoder.empty() ? std::string("H.264") : vxr::encoder + " " + vxr::pixel_format) +
        " 1920x1080, key frame every " + std::to_string(vxr::h264_gop) + ", 2 B";
    vxr::DecodeTimes(title.c_str(), h264, kH264Frames);
  }
  const std::string minute = MakeTape(folder, "minute.avi", vxr::Mjpeg(720, 576, kMinute));
  if (!vxr::FollowTape("60-second 720x576 MJPEG tape", "pal", minute, kMinute, seconds)) return 1;
  // The deck loads AVI movies and projects: the Matroska movie goes in as a one-clip project.
  if (hd && !vxr::FollowTape("24-second 1920x1080 long-GOP tape", "1080-25",
                             h264.empty() ? h264 : folder.WriteFile("hd264.tml", h264 + "\n"),
                             kH264Frames, seconds)) {
    return 1;
  }
  return 0;
}
