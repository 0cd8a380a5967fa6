// Long-GOP material at 1080 on a 1080-25 board with its monitor and one UDP program stream, the
// real player on the board's real clock. Prints figures; it is not a test.
//
//   long_gop [--codec h264|mpeg2] [--steps N] [--budget MB] [--no-stream] [--no-replies]
//            [--verbose]
//
// Tapes (made at run time): H.264 1920 x 1080, a key frame every 250 pictures, two B pictures
// between references; MPEG-2 1920 x 1080, a key frame every 12 pictures, two B pictures. For
// each: the process's peak memory (VmHWM, each codec in a process of its own), the right steps
// of jog -1 and shuttle -3 (N new pictures each, 120 unless --steps) and of jog +1, shuttle +3
// and play (10 each) started the moment the cue completes, and for every motion the time from the
// command to the first output tick that shows another picture than the cued one, in ms and output
// frames, with the time its cue took (command to cue complete) and the peak so far, and which
// steps were wrong and why (--verbose lists each motion's first ticks). Then, while the tape plays
// and the program streams, a controller's status senses over a pseudo-terminal every 20 ms, timed
// from its side (p50, p99, max), first with the priority the system grants the receiver, then with
// real-time priority not allowed (RLIMIT_RTPRIO 0).

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bench/bench_deck.h"
#include "deck/vtr_deck.h"
#include "platform/thread_priority.h"
#include "protocol/control_port.h"
#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "sinks/stream/stream_output_kind.h"
#include "testing/fake_deck_player.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kTapeFrames = 500;   // 20 s at 25: two H.264 groups
constexpr int kPeriodMs = 40;                // one output frame of the 1080-25 board
constexpr int kMotionTimeoutMs = 60000;      // a motion that never gets its steps
constexpr std::uint32_t kBackFrom = 375;     // half the second H.264 group in
constexpr std::uint32_t kForwardFrom = 125;  // half the first one in
constexpr int kEndMargin = 10;               // frames a motion keeps from the tape's ends
constexpr int kForwardSteps = 10;            // new pictures judged of each forward motion
constexpr int kReplyFrames = 250;            // status senses per priority: 5 s at 20 ms
constexpr int kReplyPeriodMs = 20;
constexpr int kReplyTimeoutMs = 1000;
// Play runs this long before the replies are timed: both priorities are measured in steady play,
// not one of them in play's start (the read-ahead filling, the encoder's first pictures).
constexpr int kSteadyPlayMs = 2000;
constexpr std::size_t kWrongListed = 16;  // wrong steps named after a motion's figures
constexpr std::size_t kTicksListed = 40;  // --verbose: ticks listed of each motion
constexpr const char* kStreamUrl = "udp://127.0.0.1:47231";

struct Codec {
  const char* name;
  const char* title;
  TapeSpec spec;
};

Codec CodecNamed(const std::string& name) {
  TapeSpec spec;
  spec.width = 1920;
  spec.height = 1080;
  spec.frames = kTapeFrames;
  spec.b_frames = 2;
  if (name == "mpeg2") {
    spec.encoder = "mpeg2video";
    spec.gop = 12;
    return {"mpeg2", "MPEG-2 1920x1080, key frame every 12, 2 B", spec};
  }
  spec.codec = TapeCodec::kH264;
  spec.gop = 250;
  return {"h264", "H.264 1920x1080, key frame every 250, 2 B", spec};
}

// Starts the peak afresh (the tape was made in this process); false where the system cannot.
bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// A figure of the process's memory in MiB (VmHWM: the peak, VmRSS: now), -1 when /proc does
// not say.
double MemoryMiB(const std::string& field = "VmHWM:") {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + field.size()) / 1024.0;
  }
  return -1.0;
}

struct Motion {
  int steps = 0;           // ticks that showed another picture than the tick before
  int right = 0;           // and that were graded right
  double start_ms = -1.0;  // command to the first of them
  double cue_ms = -1.0;    // the cue before it: command to cue complete
  std::vector<int> wrong;  // the steps graded wrong, counted from 0
  std::vector<char> why;   // for each: 'o' another picture stood for it, 'l' the tick was late
};

class Bench {
 public:
  Bench(BoardConfig config, bool stream, bool verbose)
      : verbose_(verbose),
        deck_(std::move(config)),
        monitor_(deck_.board()),
        program_(deck_.board(), monitor_) {
    std::string error;
    if (stream && (!kind_.Add(kStreamUrl, &error) || !kind_.Prepare(errors_))) {
      std::fprintf(stderr, "no stream: %s\n", error.c_str());
      return;
    }
    if (stream) {
      kind_.Start({program_, monitor_, deck_.board().config().format, deck_.board().clock(),
                   errors_, shared_});
    }
  }
  ~Bench() { kind_.Finish(program_); }

  CTapeDecoder::Stats decoder_stats() const { return monitor_.decoder_stats(); }

  bool Load(const std::string& path) {
    return deck_.StartPlayer() && deck_.player().InsertTape(path) == 0;
  }

  // Cues to from, then the moment the cue completes gives the command, and follows the output
  // until steps new pictures were shown.
  void Play(std::uint32_t from) {
    deck_.Cue(from);
    deck_.player().Play();
  }
  void Stop() { deck_.player().Stop(); }

  Motion Run(std::uint32_t from, const std::function<void(CClvrPlayer&)>& command, int steps) {
    const std::int64_t cued = deck_.board().NowNs();
    deck_.Cue(from);
    const std::size_t mark = deck_.RecordSize();
    const std::int64_t commanded = deck_.board().NowNs();
    command(deck_.player());
    Motion motion;
    bench::WaitFor([&] { return Count(mark, commanded, from).steps >= steps; }, kMotionTimeoutMs);
    motion = Count(mark, commanded, from, steps);
    motion.cue_ms = static_cast<double>(commanded - cued) / 1e6;
    if (verbose_) List(mark, commanded);
    deck_.player().Stop();
    bench::WaitFor([&] { return deck_.Has(status::Stop); }, kMotionTimeoutMs);
    return motion;
  }

 private:
  // The ticks of a motion from the cue on: when, which tape frame, how the monitor graded it.
  void List(std::size_t mark, std::int64_t commanded) {
    static constexpr const char* kGrades[] = {"no monitor", "right", "other", "key frame", "late"};
    std::size_t listed = 0;
    for (const OutputFrame& frame : deck_.RecordSince(mark > 0 ? mark - 1 : 0)) {
      if (++listed > kTicksListed) break;
      const auto grade = static_cast<std::size_t>(frame.monitor);
      std::printf("      tick %+7.1f ms  frame %4lld  %s\n", (frame.steady_ns - commanded) / 1e6,
                  static_cast<long long>(frame.tape_frame),
                  grade < std::size(kGrades) ? kGrades[grade] : "?");
    }
  }
  Motion Count(std::size_t mark, std::int64_t commanded, std::int64_t from,
               int max_steps = 1 << 30) {
    Motion motion;
    std::int64_t previous = from;
    for (const OutputFrame& frame : deck_.RecordSince(mark)) {
      if (frame.steady_ns < commanded || frame.tape_frame == previous) continue;
      if (motion.steps >= max_steps) break;
      if (motion.steps == 0) motion.start_ms = (frame.steady_ns - commanded) / 1e6;
      ++motion.steps;
      if (frame.monitor == MonitorShowed::kRightPicture) {
        ++motion.right;
      } else {
        motion.wrong.push_back(motion.steps - 1);
        motion.why.push_back(frame.monitor == MonitorShowed::kLate ? 'l' : 'o');
      }
      previous = frame.tape_frame;
    }
    return motion;
  }

  bool verbose_ = false;
  bench::CBenchDeck deck_;
  CBoardMonitor monitor_;  // goes before the deck's board
  CProgramOutput program_;
  CStreamOutputKind kind_;
  SharedOutputFigures shared_;
  std::ostringstream errors_;
};

// A controller's status sense over a pseudo-terminal, timed from its side (last byte written to
// last byte of the reply read), against a receiver of its own on a deck that answers at once:
// what it measures is how soon the receiver thread runs while the program streams.
struct Replies {
  double p50_us = 0, p99_us = 0, max_us = 0;
  int missing = 0;
};

Replies ControllerReplies() {
  Replies replies;
  testing::PtyPair pty;
  auto player = std::make_shared<std::unique_ptr<testing::FakeDeckPlayer>>(
      std::make_unique<testing::FakeDeckPlayer>());
  CVtrDeck deck([player]() -> std::unique_ptr<CDeckPlayer> { return std::move(*player); });
  CControlPort port;
  if (!pty.ok() || deck.CreatePlayer() != 0 ||
      port.StartReceiver(&deck, pty.SlavePath().c_str()) != 0 ||
      !bench::WaitFor([&port] { return port.IsRunning(); }, kMotionTimeoutMs)) {
    replies.missing = kReplyFrames;
    return replies;
  }
  const testing::PtyPair::Bytes status_sense = {0x61, 0x20, 0x0A, 0x8B};
  std::vector<double> times_us;
  auto next = Clock::now();
  for (int i = 0; i < kReplyFrames; ++i) {
    next += std::chrono::milliseconds(kReplyPeriodMs);
    std::this_thread::sleep_until(next);  // an edit controller's pace
    if (!pty.Write(status_sense)) {
      ++replies.missing;
      continue;
    }
    const auto sent = Clock::now();
    const testing::PtyPair::Bytes reply = pty.ReadFrame(kReplyTimeoutMs);
    if (reply.empty() || reply.size() != static_cast<std::size_t>(FrameLength(reply[0]))) {
      ++replies.missing;
      continue;
    }
    times_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  port.StopReceiver();
  if (times_us.empty()) return replies;
  std::sort(times_us.begin(), times_us.end());
  auto at = [&](double share) {
    return times_us[static_cast<std::size_t>(share * static_cast<double>(times_us.size() - 1))];
  };
  replies.p50_us = at(0.5);
  replies.p99_us = at(0.99);
  replies.max_us = times_us.back();
  return replies;
}

void PrintReplies(const char* priority, const Replies& replies) {
  std::printf("  replies    %-30s p50 %6.0f us  p99 %6.0f us  max %6.0f us  missing %d\n", priority,
              replies.p50_us, replies.p99_us, replies.max_us, replies.missing);
}

void Print(const char* name, const Motion& motion) {
  std::printf("  %-11s first moving picture %7.1f ms (%4.1f frames) after the command", name,
              motion.start_ms, motion.start_ms / kPeriodMs);
  if (motion.steps > 0) std::printf(", right steps %d of %d", motion.right, motion.steps);
  std::printf("; cue %.0f ms; peak so far %.0f MiB\n", motion.cue_ms, MemoryMiB());
  if (!motion.wrong.empty()) {
    std::printf("              wrong steps (o: another picture, l: the tick was late):");
    for (std::size_t i = 0; i < motion.wrong.size() && i < kWrongListed; ++i) {
      std::printf(" %d%c", motion.wrong[i], motion.why[i]);
    }
    std::printf(motion.wrong.size() > kWrongListed ? " ...\n" : "\n");
  }
}

int RunCodec(const std::string& name, int steps, bool stream, int budget_mb, bool replies,
             bool verbose) {
  av_log_set_level(AV_LOG_ERROR);
  const Codec codec = CodecNamed(name);
  testing::TempFolder folder;
  std::string error;
  const auto made = Clock::now();
  const std::string movie =
      testing::MakeTestTape(folder, std::string(codec.name) + ".mkv", codec.spec, &error);
  if (movie.empty()) {
    std::fprintf(stderr, "cannot make the %s tape: %s\n", codec.name, error.c_str());
    return 1;
  }
  const bool fresh = ResetPeak();
  std::printf("%s (made in %.1f s, %.0f MiB resident then), %s:\n", codec.title,
              std::chrono::duration<double>(Clock::now() - made).count(), MemoryMiB("VmRSS:"),
              stream ? "one UDP stream" : "no stream");
  BoardConfig config;
  if (!FindOutputFormat("1080-25", &config.format)) return 1;
  if (budget_mb > 0) config.decode_mb = static_cast<std::size_t>(budget_mb);
  Bench bench(config, stream, verbose);
  // The deck loads AVI movies and projects: the Matroska movie goes in as a one-clip project.
  if (!bench.Load(folder.WriteFile(std::string(codec.name) + ".tml", movie + "\n"))) {
    std::fprintf(stderr, "cannot load the %s tape\n", codec.name);
    return 1;
  }
  // Cue points inside a group: the cue walks most of a group.
  const auto shuttle_from =
      static_cast<std::uint32_t>(std::min<int>(kTapeFrames - kEndMargin, 3 * steps + kEndMargin));
  Print("jog -1", bench.Run(
                      kBackFrom, [](CClvrPlayer& p) { p.Jog(-1.0); }, steps));
  Print("shuttle -3", bench.Run(
                          shuttle_from, [](CClvrPlayer& p) { p.Shuttle(-3.0); }, steps));
  Print("jog +1", bench.Run(
                      kForwardFrom, [](CClvrPlayer& p) { p.Jog(1.0); }, kForwardSteps));
  Print("shuttle +3", bench.Run(
                          kForwardFrom, [](CClvrPlayer& p) { p.Shuttle(3.0); }, kForwardSteps));
  Print("play", bench.Run(
                    kForwardFrom, [](CClvrPlayer& p) { p.Play(); }, kForwardSteps));
  if (replies) {
    // While the tape plays and the program streams: first as the receiver asks (real-time
    // priority where the system grants it), then with real-time priority not allowed.
    // A real controller is a machine of its own: this thread stands for it at the receiver's
    // priority, which it keeps when the limit is lowered for the receivers started later.
    const bool raised = SetCurrentThreadPriority(ThreadPriority::kTimeCritical, "Bench");
    std::printf("  replies while playing, controller at %s priority:\n",
                raised ? "the receiver's" : "normal");
    bench.Play(kForwardFrom);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSteadyPlayMs));
    PrintReplies("as the system grants", ControllerReplies());
    const rlimit none{0, 0};
    PrintReplies(setrlimit(RLIMIT_RTPRIO, &none) == 0 ? "no real-time priority"
                                                      : "(RLIMIT_RTPRIO not lowered)",
                 ControllerReplies());
    bench.Stop();
  }
  std::printf(
      "  process peak memory (VmHWM) %.0f MiB%s; the decoder's pictures at the most %.0f MiB\n",
      MemoryMiB(), fresh ? "" : " (with the tape's making: the peak could not be reset)",
      static_cast<double>(bench.decoder_stats().peak_bytes) / (1 << 20));
  // What of the resident memory is the allocator's: blocks in use, freed blocks it keeps, and
  // blocks mapped on their own (returned when freed).
  const struct mallinfo2 heap = mallinfo2();
  std::printf(
      "  now %.0f MiB resident; the heap's blocks in use %zu MiB, free but kept %zu MiB, "
      "mapped alone %zu MiB\n",
      MemoryMiB("VmRSS:"), heap.uordblks >> 20, heap.fordblks >> 20, heap.hblkhd >> 20);
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace vxr

int main(int argc, char** argv) {
  std::string codec;
  int steps = 120;
  bool stream = true;
  bool replies = true;   // --no-replies: no controller's replies while playing
  bool verbose = false;  // --verbose: each motion's first ticks
  int budget_mb = 0;     // --budget MB: the decoder's budget (VXR_BOARD_DECODE_MB); 0 its default
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--codec") == 0 && i + 1 < argc) {
      codec = argv[++i];
    } else if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
      steps = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--budget") == 0 && i + 1 < argc) {
      budget_mb = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-stream") == 0) {
      stream = false;
    } else if (std::strcmp(argv[i], "--no-replies") == 0) {
      replies = false;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else {
      std::fprintf(stderr,
                   "usage: long_gop [--codec h264|mpeg2] [--steps N] [--budget MB] [--no-stream] "
                   "[--no-replies] [--verbose]\n");
      return 2;
    }
  }
  if (!codec.empty()) return vxr::RunCodec(codec, steps, stream, budget_mb, replies, verbose);
  // Each codec in a process of its own, so that each peak is its own.
  int result = 0;
  for (const char* name : {"h264", "mpeg2"}) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(vxr::RunCodec(name, steps, stream, budget_mb, replies, verbose));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      result = 1;
    }
  }
  return result;
}
