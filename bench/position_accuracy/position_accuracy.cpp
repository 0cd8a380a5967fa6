// How exactly the player knows and shows the tape position. Prints figures; it is not a test.
//
//   position_accuracy [--seconds S] [--wheel]   (--wheel: only the wheel cases)
//
// Play: every 20 ms the position the player reports (GetCurrentTime) is compared with the tape
// frame on the board's output at that moment, and the time from Play being queued to the first
// new picture on the output is measured.
// Speed play (jog +1.0 and +0.5, shuttle +3.0 and -2.0, fast wind): every output frame of the
// board's output record is compared with the frame that the commanded speed puts there, counted
// from the moment the command was queued; ticks where the picture stood still although the
// speed asks for a new one each frame count as an empty pipeline.
// Wheel: jog speeds changed every 20 ms as a hand on a jog wheel changes them (slowing down,
// stopping, reversing, crossing zero back and forth). Per case: the largest step of the output
// against the direction of travel (a step the sign of no speed commanded in the last four output
// frames allows: what the output shows lags the command by the pictures already queued; it
// must be 0), the largest step, and the largest distance between the frame shown and the
// position the commanded speeds reach from the first command, once the picture moves.
// Loading: InsertTape of a 60-second and a 1-hour tape.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_deck.h"
#include "platform/diagnostics.h"
#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"
#include "testing/media/test_tapes.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

using bench::SleepMs;
using bench::WaitFor;

class Bench {
 public:
  explicit Bench(double seconds) : seconds_(seconds) {}

  bool Start(std::uint32_t frames) {
    if (!deck_.StartPlayer()) return false;
    TapeSpec spec = testing::SmallTape(1.0);
    spec.frames = frames;
    std::string error;
    tape_ = testing::MakeTestTape(folder_, "bench.avi", spec, &error);
    if (tape_.empty()) {
      std::fprintf(stderr, "cannot make the tape: %s\n", error.c_str());
      return false;
    }
    return deck_.player().InsertTape(tape_) == 0;
  }

  void Play() {
    const std::int64_t start_frame = OnOutput();
    const std::size_t mark = RecordSize();
    const std::int64_t queued_ns = NowNs();
    deck_.player().Play();
    double worst = 0, sum = 0;
    int samples = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds_);
    while (Clock::now() < end) {
      Timecode tc;
      deck_.player().GetCurrentTime(&tc, nullptr);
      const std::int64_t shown = OnOutput();
      const double diff = std::fabs(static_cast<double>(tc.ToFrames(25)) - shown);
      worst = std::max(worst, diff);
      sum += diff;
      ++samples;
      SleepMs(20);
    }
    double start_ms = -1;
    for (const OutputFrame& frame : RecordSince(mark)) {
      if (frame.tape_frame != start_frame) {
        start_ms = (frame.steady_ns - queued_ns) / 1e6;
        break;
      }
    }
    std::printf(
        "play          samples %4d  reported vs shown: max %3.0f, mean %6.3f frames;"
        "  Play to first new picture %.1f ms\n",
        samples, worst, samples ? sum / samples : 0.0, start_ms);
    Stop();
  }

  // Runs a speed command from a cued frame and compares the output record with the frames
  // the speed should show.
  void Speed(const char* name, std::uint32_t from, double speed, bool shuttle, bool wind) {
    Cue(from);
    const std::size_t mark = RecordSize();
    const std::int64_t queued_ns = NowNs();
    if (wind) {
      speed > 0 ? deck_.player().FastFwd() : deck_.player().Rewind();
    } else if (shuttle) {
      deck_.player().Shuttle(speed);
    } else {
      deck_.player().Jog(speed);
    }
    const double window = wind ? 4.0 : std::min(seconds_, 4.0);
    SleepMs(static_cast<int>(window * 1000));
    const std::uint32_t last = deck_.player().FrameLast();
    double worst = 0, sum = 0, steady_worst = 0, steady_sum = 0;
    int ticks = 0, stalls = 0, steady_ticks = 0;
    std::int64_t previous = -2;
    int run = 0;
    bool moving = false;
    double start_ms = -1;
    for (const OutputFrame& frame : RecordSince(mark)) {
      if (frame.steady_ns < queued_ns) continue;
      if (!moving && frame.tape_frame != static_cast<std::int64_t>(from)) {
        moving = true;
        start_ms = (frame.steady_ns - queued_ns) / 1e6;
      }
      double expected = from + 0.5 + (frame.steady_ns - queued_ns) / 1e9 * speed * 25.0;
      expected = std::clamp(std::floor(expected), 0.0, static_cast<double>(last));
      const bool at_end = expected <= 0.0 || expected >= last;
      const double error = std::fabs(frame.tape_frame - expected);
      worst = std::max(worst, error);
      sum += error;
      ++ticks;
      if (moving) {
        steady_worst = std::max(steady_worst, error);
        steady_sum += error;
        ++steady_ticks;
      }
      run = frame.tape_frame == previous ? run + 1 : 1;
      if (moving && !at_end && frame.tape_frame != 0 && frame.tape_frame != last) {
        // A picture that stays longer than the speed asks means the pipeline ran dry.
        const int allowed =
            std::fabs(speed) >= 1.0 ? 1 : static_cast<int>(std::ceil(1.0 / std::fabs(speed)));
        if (run > allowed) ++stalls;
      }
      previous = frame.tape_frame;
      if (wind && at_end && frame.tape_frame == expected) break;
    }
    std::printf(
        "%-13s ticks %4d  shown vs commanded: max %3.0f, mean %6.3f;  once moving:"
        " max %3.0f, mean %6.3f;  first new picture %5.1f ms;  empty-pipeline ticks %d\n",
        name, ticks, worst, ticks ? sum / ticks : 0.0, steady_worst,
        steady_ticks ? steady_sum / steady_ticks : 0.0, start_ms, stalls);
    Stop();
  }

  // Jogs from a cued frame through speeds, one every pace_ms, then holds at 0.0.
  void Wheel(const char* name, std::uint32_t from, const std::vector<double>& speeds,
             int pace_ms = 20) {
    Cue(from);
    const std::size_t mark = RecordSize();
    std::vector<std::pair<std::int64_t, double>> commands;  // steady ns, speed
    auto next = Clock::now();
    for (double speed : speeds) {
      std::this_thread::sleep_until(next);
      commands.emplace_back(NowNs(), speed);
      deck_.player().Jog(speed);
      next += std::chrono::milliseconds(pace_ms);
    }
    std::this_thread::sleep_until(next);
    commands.emplace_back(NowNs(), 0.0);
    deck_.player().Jog(0.0);
    SleepMs(400);  // the queued pictures play out and the picture holds

    // The window in which a commanded speed still explains a step: the pictures queued and the
    // one about to go on.
    const std::int64_t window_ns =
        static_cast<std::int64_t>((CClvrPlayer::m_queue_sz + 1) * 1e9 / 25.0);
    auto speed_at = [&](std::int64_t ns) {
      double speed = 0.0;
      for (const auto& [at, v] : commands) {
        if (at <= ns) speed = v;
      }
      return speed;
    };
    // Whether some speed commanded in (ns - window, ns] moves in direction.
    auto allows = [&](std::int64_t ns, int direction) {
      double speed = speed_at(ns - window_ns);
      if (speed * direction > 0) return true;
      for (const auto& [at, v] : commands) {
        if (at > ns - window_ns && at <= ns && v * direction > 0) return true;
      }
      return false;
    };
    const std::int64_t first_ns = commands.front().first;
    double commanded = from + 0.5;
    std::size_t c = 0;
    std::int64_t previous_ns = first_ns;
    double speed = 0.0;
    std::int64_t against = 0, largest = 0;
    double lag = 0.0, fastest = 0.0;
    bool moving = false;
    int ticks = 0;
    std::int64_t before = static_cast<std::int64_t>(from);
    for (const OutputFrame& frame : RecordSince(mark)) {
      if (frame.steady_ns < first_ns) continue;
      // Integrate the commanded speeds up to this tick.
      while (c < commands.size() && commands[c].first <= frame.steady_ns) {
        commanded += (commands[c].first - previous_ns) / 1e9 * speed * 25.0;
        previous_ns = commands[c].first;
        speed = commands[c].second;
        fastest = std::max(fastest, std::fabs(speed));
        ++c;
      }
      commanded += (frame.steady_ns - previous_ns) / 1e9 * speed * 25.0;
      previous_ns = frame.steady_ns;
      const std::int64_t step = frame.tape_frame - before;
      if (step != 0) moving = true;
      if (step > 0 && !allows(frame.steady_ns, 1)) against = std::max(against, step);
      if (step < 0 && !allows(frame.steady_ns, -1)) against = std::max(against, -step);
      largest = std::max(largest, std::abs(step));
      if (moving) lag = std::max(lag, std::fabs(commanded - (frame.tape_frame + 0.5)));
      before = frame.tape_frame;
      ++ticks;
    }
    std::printf(
        "%-22s ticks %4d  largest step against travel %lld;  largest step %lld (fastest"
        " speed %.2f);  largest lag behind the commanded position %5.2f frames\n",
        name, ticks, static_cast<long long>(against), static_cast<long long>(largest), fastest,
        lag);
    Stop();
  }

  void LoadTime(const char* name, std::uint32_t frames) {
    TapeSpec spec = testing::SmallTape(1.0);
    spec.frames = frames;
    std::string error;
    const auto made = Clock::now();
    const std::string path =
        testing::MakeTestTape(folder_, std::string(name) + ".avi", spec, &error);
    const double make_s = std::chrono::duration<double>(Clock::now() - made).count();
    if (path.empty()) {
      std::printf("load %-10s cannot make the tape: %s\n", name, error.c_str());
      return;
    }
    CClvrPlayer player;
    if (player.Initialize() != 0) return;
    const auto start = Clock::now();
    const HRESULT result = player.InsertTape(path);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("load %-10s %6u frames: InsertTape %.1f ms (result 0x%X; tape made in %.1f s)\n",
                name, frames, ms, static_cast<unsigned>(result), make_s);
  }

 private:
  std::int64_t OnOutput() { return deck_.OnOutput(); }
  std::size_t RecordSize() { return deck_.RecordSize(); }
  std::vector<OutputFrame> RecordSince(std::size_t mark) { return deck_.RecordSince(mark); }
  bool Has(const StatusBit& bit) { return deck_.Has(bit); }
  void Stop() {
    deck_.player().Stop();
    WaitFor([&] { return Has(status::Stop) && Has(status::Still); }, 3000);
  }
  void Cue(std::uint32_t frame) {
    deck_.Cue(frame);
    SleepMs(100);
  }

  double seconds_;
  testing::TempFolder folder_;
  std::string tape_;
  bench::CBenchDeck deck_;
};

}  // namespace
}  // namespace vxr

int main(int argc, char** argv) {
  double seconds = 10.0;
  bool wheel_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (std::strcmp(argv[i], "--wheel") == 0) {
      wheel_only = true;
    } else {
      std::fprintf(stderr, "usage: position_accuracy [--seconds S] [--wheel]\n");
      return 2;
    }
  }
  vxr::Bench bench(seconds);
  if (!bench.Start(60 * 25)) {
    std::fprintf(stderr, "cannot start the player on the software board\n");
    return 1;
  }
  std::printf("software board pal (25 frames per second), 60-second tape\n");
  if (!wheel_only) {
    bench.Play();
    bench.Speed("jog +1.0", 200, 1.0, false, false);
    bench.Speed("jog +0.5", 200, 0.5, false, false);
    bench.Speed("shuttle +3.0", 200, 3.0, true, false);
    bench.Speed("shuttle -2.0", 1200, -2.0, true, false);
    bench.Speed("fast wind", 100, 100.0, false, true);
    bench.Speed("rewind", 1400, -100.0, false, true);
  }
  std::vector<double> slow_down, stop, reverse, crossings, rocking;
  for (int k = 0; k <= 50; ++k) slow_down.push_back(2.0 - 0.04 * k);
  for (int k = 0; k < 50; ++k) stop.push_back(1.0);
  for (int k = 0; k < 25; ++k) stop.push_back(0.0);
  for (int k = 0; k < 25; ++k) reverse.push_back(2.0);
  for (int k = 0; k < 50; ++k) reverse.push_back(-2.0);
  for (int k = 0; k < 100; ++k) crossings.push_back(1.5 * std::sin(2.0 * M_PI * k / 25.0));
  for (int k = 0; k < 100; ++k) rocking.push_back(k % 2 == 0 ? 1.0 : -1.0);
  bench.Wheel("wheel slow down 2->0", 400, slow_down);
  bench.Wheel("wheel +1 then stop", 400, stop);
  bench.Wheel("wheel +2 then -2", 400, reverse);
  bench.Wheel("wheel zero crossings", 400, crossings);
  bench.Wheel("wheel rocking +1/-1", 400, rocking);
  if (wheel_only) return 0;
  bench.LoadTime("60-second", 60 * 25);
  bench.LoadTime("1-hour", 3600 * 25);
  return 0;
}
