// soak: the real vxrdeck program, offscreen, with a tape and --remote, driven over a
// pseudo-terminal for a set time by an edit controller that mixes every command of the deck's
// set at edit-controller pace and faster, with bursts of line noise each followed by quiet.
// Prints frames sent and answered, wrong and missing replies, reply latency (and the deck's own
// share of it, as the deck reports it when it ends), status checks and the program's memory at
// start and end. Exit status 1 when anything was wrong or missing.
//
//   soak [--seconds N] [--seed S] [--program PATH]       (default 600 s)
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "protocol/timecode.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using vxr::testing::PtyPair;

constexpr int kReplyWaitMs = 1000;
// Quiet after noise: beyond the 10 ms that ends a broken frame and the wait for a frame's data
// after a complete head (noise may end in one).
constexpr int kQuietAfterNoiseMs = 150;
constexpr std::uint32_t kTapeFrames = 1500;  // 60 s at 25
// A cue is given this long to begin and complete: 150 polls 20 ms apart.
constexpr int kCuePolls = 150;
constexpr int kCuePollMs = 20;

Bytes WithChecksum(Bytes frame) {
  frame.push_back(
      static_cast<std::uint8_t>(vxr::Checksum(frame.data(), static_cast<int>(frame.size()))));
  return frame;
}

// A frame of the deck's set and the reply it must get (exact, or by its first two bytes when
// the data depends on the deck's state: status and time).
struct Request {
  Bytes frame;
  Bytes exact;            // the whole reply, when known
  std::uint8_t cmd1 = 0;  // else: CMD-1 and the allowed CMD-2 values
  std::vector<std::uint8_t> cmd2;
};

class Controller {
 public:
  explicit Controller(unsigned seed) : random_(seed) {}

  Request Next() {
    const Bytes ack = {0x10, 0x01, 0x11};
    const int pick = Int(0, 21);
    switch (pick) {
      case 0:
      case 1:
      case 2: {  // status sense, any window
        const std::uint8_t value = static_cast<std::uint8_t>(Int(0, 255));
        return {WithChecksum({0x61, 0x20, value}),
                {},
                static_cast<std::uint8_t>(0x70 | (value & 0x0F)),
                {0x20}};
      }
      case 3:
      case 4:
      case 5: {  // time sense
        static const std::uint8_t kSelectors[] = {0x01, 0x03, 0x11, 0x33, 0x04, 0x10, 0x30};
        const std::uint8_t selector = kSelectors[Int(0, 6)];
        if (selector == 0x04) return {WithChecksum({0x61, 0x0C, selector}), {}, 0x74, {0x00, 0x10}};
        if (selector == 0x10 || selector == 0x30) {
          return {WithChecksum({0x61, 0x0C, selector}), {}, 0x74, {0x05, 0x15}};
        }
        return {WithChecksum({0x61, 0x0C, selector}), {}, 0x74, {0x04, 0x14}};
      }
      case 6:
        return {WithChecksum({0x61, 0x0C, 0x02}), {0x70, 0x0D, 0x7D}, 0, {}};
      case 7:
        return {WithChecksum({0x00, 0x11}), {0x12, 0x11, 0x21, 0x50, 0x94}, 0, {}};
      case 8: {
        const std::uint8_t value = static_cast<std::uint8_t>(Int(0, 0x40));
        return {WithChecksum({0x41, 0x31, value}),
                value > 0x3B ? Bytes{0x11, 0x12, 0x00, 0x23} : ack,
                0,
                {}};
      }
      case 9:
        return {WithChecksum({0x41, 0x36, static_cast<std::uint8_t>(Int(0, 1))}), ack, 0, {}};
      case 10:
        return {WithChecksum({0x20, 0x01}), ack, 0, {}};  // play
      case 11:
        return {WithChecksum({0x20, 0x00}), ack, 0, {}};  // stop
      case 12:
        return {WithChecksum({0x20, 0x10}), ack, 0, {}};  // fast wind
      case 13:
        return {WithChecksum({0x20, 0x20}), ack, 0, {}};  // rewind
      case 14: {                                          // jog, either way
        const std::uint8_t cmd2 = Int(0, 1) ? 0x11 : 0x21;
        return {WithChecksum({0x21, cmd2, static_cast<std::uint8_t>(Int(0, 80))}), ack, 0, {}};
      }
      case 15: {  // shuttle, either way, coarse and fine
        const std::uint8_t cmd2 = Int(0, 1) ? 0x13 : 0x23;
        return {WithChecksum({0x22, cmd2, static_cast<std::uint8_t>(Int(0, 90)),
                              static_cast<std::uint8_t>(Int(0, 255))}),
                ack,
                0,
                {}};
      }
      case 16: {  // cue up to a frame of the tape
        vxr::Timecode timecode;
        timecode.FromFrames(static_cast<std::uint32_t>(Int(0, kTapeFrames - 1)), 25);
        std::uint8_t bytes[4];
        timecode.ToBytes(bytes);
        return {WithChecksum({0x24, 0x31, bytes[0], bytes[1], bytes[2], bytes[3]}), ack, 0, {}};
      }
      case 17: {  // commands the deck takes without doing anything
        static const std::uint8_t kNoOps[] = {0x04, 0x05, 0x55};
        return {WithChecksum({0x20, kNoOps[Int(0, 2)]}), ack, 0, {}};
      }
      case 18:
        return {WithChecksum({0x20, 0x60}), ack, 0, {}};
      case 19:
        return {WithChecksum({0x41, 0x34, 0x00}), ack, 0, {}};
      case 20: {  // a bad checksum
        Bytes frame = WithChecksum({0x20, 0x01});
        frame.back() ^= 0x5A;
        return {frame, {0x11, 0x12, 0x04, 0x27}, 0, {}};
      }
      default:  // undefined
        return {WithChecksum({0x20, 0x77}), {0x11, 0x12, 0x01, 0x24}, 0, {}};
    }
  }

  Bytes Noise() {
    Bytes noise(static_cast<std::size_t>(Int(1, 24)));
    for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(Int(0, 255));
    return noise;
  }
  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

 private:
  std::mt19937 random_;
};

bool Matches(const Request& request, const Bytes& reply) {
  if (reply.size() < 3 || reply.size() != static_cast<std::size_t>(vxr::FrameLength(reply[0])))
    return false;
  if (reply.back() !=
      static_cast<std::uint8_t>(vxr::Checksum(reply.data(), static_cast<int>(reply.size()) - 1))) {
    return false;
  }
  if (!request.exact.empty()) return reply == request.exact;
  return reply[0] == request.cmd1 &&
         std::find(request.cmd2.begin(), request.cmd2.end(), reply[1]) != request.cmd2.end();
}

// The deck's own share of the reply latency, from the line its receiver writes when it stops
// serving: frames answered and dropped, and from last byte read to reply written, in us.
struct DeckFigures {
  bool found = false;
  long long answered = 0;
  long dropped = 0;
  double p50_us = 0, p99_us = 0, max_us = 0;
};

DeckFigures ReadDeckFigures(const std::string& log) {
  DeckFigures figures;
  const std::size_t line = log.rfind("Receiver on ");
  if (line == std::string::npos) return figures;
  const std::size_t colon = log.find(": ", line);
  if (colon == std::string::npos) return figures;
  figures.found =
      std::sscanf(log.c_str() + colon + 2,
                  "%lld frames answered, %ld dropped unfinished; reply time on the deck (last "
                  "byte read to reply written) p50 %lf us, p99 %lf us, max %lf us",
                  &figures.answered, &figures.dropped, &figures.p50_us, &figures.p99_us,
                  &figures.max_us) == 5;
  return figures;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600;
  unsigned seed = 1;
  std::string program = VXRDECK_PROGRAM;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else {
      std::fprintf(stderr, "usage: soak [--seconds N] [--seed S] [--program PATH]\n");
      return 2;
    }
  }

  vxr::testing::TempFolder folder;
  vxr::TapeSpec spec = vxr::testing::SmallTape(1.0);
  spec.frames = kTapeFrames;
  std::string error;
  const std::string tape = vxr::testing::MakeTestTape(folder, "soak.avi", spec, &error);
  PtyPair pty;
  if (tape.empty() || !pty.ok()) {
    std::fprintf(stderr, "soak: no tape or no line: %s\n", error.c_str());
    return 2;
  }
  vxr::testing::DeckProcess deck(program, folder.path());
  if (!deck.Start({"--port", pty.SlavePath(), "--tape", tape, "--remote"})) {
    std::fprintf(stderr, "soak: cannot start %s\n", program.c_str());
    return 2;
  }
  const Bytes probe = WithChecksum({0x61, 0x20, 0x01});
  const Clock::time_point start_limit = Clock::now() + std::chrono::seconds(60);
  bool serving = false;
  while (!serving && deck.Running() && Clock::now() < start_limit) {
    pty.Write(probe);
    const Bytes reply = pty.ReadFrame(200);
    serving = reply.size() == 4 && reply[2] == 0x00;
  }
  if (!serving) {
    std::fprintf(stderr, "soak: the deck does not answer\n%s", deck.Log().c_str());
    return 2;
  }
  pty.Drain(50);

  Controller controller(seed);
  long sent = 0, answered = 0, wrong = 0, missing = 0, noise_bursts = 0;
  long checks = 0, failed_checks = 0;
  std::vector<double> latencies;
  std::vector<long> memory;
  const long memory_start = deck.ResidentKb();
  const Clock::time_point begin = Clock::now();
  const Clock::time_point end = begin + std::chrono::seconds(seconds);
  Clock::time_point next_sample = begin;
  Clock::time_point next_check = begin + std::chrono::seconds(5);

  auto exchange = [&](const Request& request) -> Bytes {
    const Clock::time_point written = Clock::now();
    ++sent;
    if (!pty.Write(request.frame)) return {};
    Bytes reply = pty.ReadFrame(kReplyWaitMs);
    if (reply.empty()) {
      ++missing;
      pty.Drain(kQuietAfterNoiseMs);
      return reply;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
    ++answered;
    if (!Matches(request, reply)) {
      ++wrong;
      std::fprintf(stderr, "wrong reply to %02X %02X:", request.frame[0], request.frame[1]);
      for (std::uint8_t b : reply) std::fprintf(stderr, " %02X", b);
      std::fprintf(stderr, "\n");
      pty.Drain(kQuietAfterNoiseMs);
    }
    return reply;
  };
  auto status_has = [&](const vxr::StatusBit& bit) {
    const Bytes reply = exchange({WithChecksum({0x61, 0x20, 0x03}), {}, 0x73, {0x20}});
    return reply.size() == 6 && bit.In(reply.data() + 2);
  };

  while (Clock::now() < end && deck.Running()) {
    const Clock::time_point now = Clock::now();
    if (now >= next_sample) {
      memory.push_back(deck.ResidentKb());
      next_sample += std::chrono::seconds(1);
    }
    if (now >= next_check) {
      // Status and time follow the commands: a cue ends on its frame, stopped and complete.
      ++checks;
      vxr::Timecode target;
      const std::uint32_t frame = static_cast<std::uint32_t>(controller.Int(0, kTapeFrames - 1));
      target.FromFrames(frame, 25);
      std::uint8_t bytes[4];
      target.ToBytes(bytes);
      exchange({WithChecksum({0x24, 0x31, bytes[0], bytes[1], bytes[2], bytes[3]}),
                {0x10, 0x01, 0x11},
                0,
                {}});
      // The ACK goes out before the player has taken the cue, so the status may still show the
      // previous cue's CueUp_Complete: judge only once this cue has begun (the bit cleared) or
      // the time stands on the target.
      bool begun = false;
      bool complete = false;
      bool at_target = false;
      for (int i = 0; i < kCuePolls && !(begun && complete); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kCuePollMs));
        complete = status_has(vxr::status::CueUp_Complete);
        const Bytes time = exchange({WithChecksum({0x61, 0x0C, 0x01}), {}, 0x74, {0x04, 0x14}});
        at_target =
            time.size() == 7 && vxr::Timecode::FromBytes(time.data() + 2).ToFrames(25) == frame;
        begun = begun || !complete || at_target;
      }
      if (!begun || !complete || !at_target) {
        ++failed_checks;
        std::fprintf(stderr, "check: cue to %u %s\n", frame,
                     !begun      ? "never begins"
                     : !complete ? "never completes"
                                 : "ends elsewhere");
      }
      next_check = Clock::now() + std::chrono::seconds(5);
      continue;
    }
    const int mode = controller.Int(0, 99);
    if (mode < 3) {  // line noise, then quiet: whatever it caused is forgotten
      ++noise_bursts;
      pty.Write(controller.Noise());
      pty.Drain(kQuietAfterNoiseMs);
    } else if (mode < 20) {  // a burst at full speed
      for (int i = 0; i < 10; ++i) exchange(controller.Next());
    } else {  // edit-controller pace: a frame every 16 to 40 ms
      exchange(controller.Next());
      std::this_thread::sleep_for(std::chrono::milliseconds(controller.Int(16, 40)));
    }
  }
  const double ran = std::chrono::duration<double>(Clock::now() - begin).count();
  const bool alive = deck.Running();
  const long memory_end = deck.ResidentKb();

  // The last command of the set: eject, after which the transport is refused.
  exchange({WithChecksum({0x20, 0x0F}), {0x10, 0x01, 0x11}, 0, {}});
  const Clock::time_point signalled = Clock::now();
  deck.Signal(SIGTERM);
  const int code = deck.WaitForExit(10000);
  const double exit_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - signalled).count();

  long memory_peak = memory_start;
  for (long kb : memory) memory_peak = std::max(memory_peak, kb);
  std::printf("soak: %.0f s against %s (seed %u)\n", ran, program.c_str(), seed);
  std::printf("frames sent %ld, answered %ld, wrong %ld, missing %ld; noise bursts %ld\n", sent,
              answered, wrong, missing, noise_bursts);
  std::printf("reply latency ms: p50 %.3f  p99 %.3f  max %.3f\n", Percentile(latencies, 0.50),
              Percentile(latencies, 0.99), Percentile(latencies, 1.0));
  const DeckFigures on_deck = ReadDeckFigures(deck.Log());
  if (on_deck.found) {
    std::printf(
        "  of which on the deck ms: p50 %.3f  p99 %.3f  max %.3f  (last byte read to reply "
        "written, %lld frames answered, %ld dropped unfinished)\n",
        on_deck.p50_us / 1e3, on_deck.p99_us / 1e3, on_deck.max_us / 1e3, on_deck.answered,
        on_deck.dropped);
  } else {
    std::printf("  of which on the deck: not reported (the deck did not end in order)\n");
  }
  std::printf("status checks (cue lands complete on its frame): %ld, failed %ld\n", checks,
              failed_checks);
  std::printf("memory kB: start %ld, end %ld, peak %ld (%zu samples)\n", memory_start, memory_end,
              memory_peak, memory.size());
  std::printf("program %s; SIGTERM -> exit %d in %.0f ms\n", alive ? "alive to the end" : "DIED",
              code, exit_ms);
  const bool ok = alive && wrong == 0 && missing == 0 && failed_checks == 0 && code == 0;
  if (!ok) std::fprintf(stderr, "%s", deck.Log().c_str());
  return ok ? 0 : 1;
}
