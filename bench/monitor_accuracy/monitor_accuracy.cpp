// How well the board's output monitor keeps up. Prints figures; it is not a test.
//
//   monitor_accuracy [--seconds S] [--no-1080]
//
// Decoding: the time to decode one picture of an MJPEG tape at 720 x 576 and at 1920 x 1080,
// read on picture after picture and picked at random, median and 99th percentile.
// Following the output: the real player drives a 60-second 720 x 576 MJPEG tape on the software
// board (its real clock) with the monitor on it; for play, jog +1 and -1, shuttle +3 and -3 and
// fast wind and rewind, the share of output ticks on which the monitor showed exactly the
// picture of the tape frame on the output.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "testing/media/test_tapes.h"
#include "vboard/board_monitor.h"
#include "vboard/movie_decoder.h"
#include "bench/bench_deck.h"
#include "vboard/software_board.h"
#include "vboard/timeline.h"

namespace vxr {
namespace {

using Clock = std::chrono::steady_clock;

using bench::SleepMs;
using bench::WaitFor;

std::string MakeTape(const testing::TempFolder& folder, const char* name, int width, int height,
                     std::uint32_t frames) {
  TapeSpec spec;
  spec.width = width;
  spec.height = height;
  spec.frames = frames;
  std::string error;
  const std::string path = testing::MakeTestTape(folder, name, spec, &error);
  if (path.empty()) std::fprintf(stderr, "cannot make %s: %s\n", name, error.c_str());
  return path;
}

void PrintTimes(const char* what, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  const double p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  std::printf("  %-28s %5zu pictures: median %6.2f ms, p99 %6.2f ms, max %6.2f ms\n", what,
              ms.size(), median, p99, ms.back());
}

void DecodeTimes(const testing::TempFolder& folder, const char* name, int width, int height) {
  const std::uint32_t frames = 200;
  const std::string path = MakeTape(folder, name, width, height, frames);
  if (path.empty()) return;
  CMovieDecoder decoder;
  if (FAILED(decoder.Open(path))) {
    std::printf("%s: cannot open\n", name);
    return;
  }
  std::printf("decoding MJPEG %dx%d (one frame period is 40 ms at 25):\n", width, height);
  const auto time = [&](std::uint32_t frame) {
    std::shared_ptr<const Picture> picture;
    const auto start = Clock::now();
    const HRESULT result = decoder.Decode(frame, &picture);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return SUCCEEDED(result) ? ms : -1.0;
  };
  std::vector<double> sequential, random;
  for (std::uint32_t n = 1; n < frames; ++n) {
    if (const double ms = time(n); ms >= 0) sequential.push_back(ms);
  }
  std::mt19937 pick(1);
  for (int i = 0; i < 200; ++i) {
    if (const double ms = time(pick() % frames); ms >= 0) random.push_back(ms);
  }
  PrintTimes("reading on (play)", sequential);
  PrintTimes("random access (cue, wind)", random);
}

class Follow {
 public:
  Follow() : monitor_(std::make_unique<CBoardMonitor>(deck_.board())) {}
  ~Follow() { monitor_.reset(); }

  bool Load(const std::string& path) {
    return deck_.StartPlayer() && deck_.player().InsertTape(path) == 0;
  }

  // Runs a transport command from a cued frame for seconds and counts the output ticks on
  // which the monitor showed the right picture.
  void Run(const char* name, std::uint32_t from, const std::function<void(CClvrPlayer&)>& command,
           double seconds) {
    Cue(from);
    const std::size_t mark = Size();
    command(deck_.player());
    SleepMs(static_cast<int>(seconds * 1000));
    int ticks = 0, right = 0, moved = 0;
    std::int64_t previous = -1;
    for (const OutputFrame& frame : Since(mark)) {
      ++ticks;
      right += frame.monitor == MonitorShowed::kRightPicture;
      moved += frame.tape_frame != previous;
      previous = frame.tape_frame;
    }
    std::printf("  %-14s ticks %4d, new pictures %4d: right picture on %6.2f %% (%d missed)\n",
                name, ticks, moved, ticks ? 100.0 * right / ticks : 0.0, ticks - right);
    deck_.player().Stop();
    WaitFor([&] { return Has(status::Stop); }, 3000);
  }

 private:
  std::size_t Size() { return deck_.RecordSize(); }
  std::vector<OutputFrame> Since(std::size_t mark) { return deck_.RecordSince(mark); }
  bool Has(const StatusBit& bit) { return deck_.Has(bit); }
  void Cue(std::uint32_t frame) {
    deck_.Cue(frame);
    monitor_->WaitDecoded(2000);
    SleepMs(100);
  }

  bench::CBenchDeck deck_;
  std::unique_ptr<CBoardMonitor> monitor_;  // goes before the deck's board
};

}  // namespace
}  // namespace vxr

int main(int argc, char** argv) {
  double seconds = 4.0;
  bool hd = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--no-1080") == 0) {
      hd = false;
    } else {
      std::fprintf(stderr, "usage: monitor_accuracy [--seconds S] [--no-1080]\n");
      return 2;
    }
  }
  vxr::testing::TempFolder folder;
  vxr::DecodeTimes(folder, "sd.avi", 720, 576);
  if (hd) vxr::DecodeTimes(folder, "hd.avi", 1920, 1080);

  const std::string tape = vxr::MakeTape(folder, "minute.avi", 720, 576, 60 * 25);
  vxr::Follow follow;
  if (tape.empty() || !follow.Load(tape)) {
    std::fprintf(stderr, "cannot load the tape on the software board\n");
    return 1;
  }
  std::printf("monitor on the pal board, 60-second 720x576 MJPEG tape, real player:\n");
  using vxr::CClvrPlayer;
  follow.Run("play", 100, [](CClvrPlayer& p) { p.Play(); }, seconds);
  follow.Run("jog +1", 300, [](CClvrPlayer& p) { p.Jog(1.0); }, seconds);
  follow.Run("jog -1", 600, [](CClvrPlayer& p) { p.Jog(-1.0); }, seconds);
  follow.Run("shuttle +3", 300, [](CClvrPlayer& p) { p.Shuttle(3.0); }, seconds);
  follow.Run("shuttle -3", 1200, [](CClvrPlayer& p) { p.Shuttle(-3.0); }, seconds);
  follow.Run("fast wind", 100, [](CClvrPlayer& p) { p.FastFwd(); }, std::min(seconds, 1.0));
  follow.Run("rewind", 1400, [](CClvrPlayer& p) { p.Rewind(); }, std::min(seconds, 1.0));
  return 0;
}
