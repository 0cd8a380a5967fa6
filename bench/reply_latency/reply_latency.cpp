// Measures the deck's reply latency over a pseudo-terminal: from the last byte of a frame
// written to the last byte of its reply read, for a realistic mix of status sense, time sense
// and transport commands, once paced like an edit controller (one frame per 20 ms) and once
// back to back. Prints p50, p99 and max in microseconds, beside the deck's own share as its
// receiver measured it (from a frame's last byte read to its reply written), and the deck's
// CPU time per frame.
// The protocol gives a deck 9 ms to answer.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/percentile.h"
#include "deck/vtr_deck.h"
#include "platform/diagnostics.h"
#include "platform/thread_priority.h"
#include "protocol/control_port.h"
#include "protocol/frame.h"
#include "testing/fake_deck_player.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace {

using vxr::testing::PtyPair;
using Bytes = PtyPair::Bytes;
using Clock = std::chrono::steady_clock;
using vxr::bench::Percentile;

double CpuMicroseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// One cycle of what an edit controller sends: mostly time and status sense, now and then a
// transport command.
std::vector<Bytes> FrameMix() {
  return {
      {0x61, 0x0C, 0x01, 0x6E},  // time sense, LTC
      {0x61, 0x20, 0x0A, 0x8B},  // status sense, bytes 0 to 9
      {0x61, 0x0C, 0x01, 0x6E}, {0x61, 0x20, 0x0A, 0x8B},
      {0x20, 0x01, 0x21},  // play
      {0x61, 0x0C, 0x01, 0x6E}, {0x61, 0x20, 0x0A, 0x8B},
      {0x21, 0x11, 0x40, 0x72},  // jog forward at play speed
      {0x61, 0x0C, 0x01, 0x6E}, {0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65},  // cue up with data
  };
}

struct Result {
  std::vector<double> latencies_us;
  vxr::CLatencyRecord::Summary on_deck;
  double deck_cpu_us = 0;
  int missing = 0;
  int wrong = 0;
};

// The frames of one run and their replies, timed from the controller's side.
void Exchange(PtyPair& pty, int frames, int period_ms, Result& result) {
  const std::vector<Bytes> mix = FrameMix();
  result.latencies_us.reserve(static_cast<std::size_t>(frames));
  const double process_before = CpuMicroseconds(CLOCK_PROCESS_CPUTIME_ID);
  const double own_before = CpuMicroseconds(CLOCK_THREAD_CPUTIME_ID);
  Clock::time_point next = Clock::now();
  for (int i = 0; i < frames; ++i) {
    if (period_ms > 0) {
      next += std::chrono::milliseconds(period_ms);
      std::this_thread::sleep_until(next);
    }
    const Bytes& frame = mix[static_cast<std::size_t>(i) % mix.size()];
    if (!pty.Write(frame)) {
      ++result.missing;
      continue;
    }
    const Clock::time_point sent = Clock::now();
    const Bytes reply = pty.ReadFrame(1000);
    const Clock::time_point answered = Clock::now();
    if (reply.empty() || reply.size() != static_cast<std::size_t>(vxr::FrameLength(reply[0]))) {
      ++result.missing;
      continue;
    }
    // Sense requests get data, commands get ACK; anything else means the deck went wrong.
    if ((frame[0] & 0xF0) == 0x60 ? (reply[0] & 0xF0) != 0x70 : reply[0] != 0x10) ++result.wrong;
    result.latencies_us.push_back(
        std::chrono::duration<double, std::micro>(answered - sent).count());
  }
  // Everything the process spent that this (controller) thread did not: the deck's receiver.
  result.deck_cpu_us = (CpuMicroseconds(CLOCK_PROCESS_CPUTIME_ID) - process_before) -
                       (CpuMicroseconds(CLOCK_THREAD_CPUTIME_ID) - own_before);
}

// One run on a receiver of its own, so that the deck's figures are this run's alone.
Result Run(PtyPair& pty, vxr::CVtrDeck& deck, int frames, int period_ms) {
  Result result;
  vxr::CControlPort port;
  if (port.StartReceiver(&deck, pty.SlavePath().c_str()) != 0 ||
      !vxr::testing::WaitFor([&port] { return port.IsRunning(); }, 5000, 1)) {
    result.missing = frames;
    return result;
  }
  Exchange(pty, frames, period_ms, result);
  // After the stop: the last reply's time is taken once its write has returned, which may be
  // after the controller has read it.
  port.StopReceiver();
  result.on_deck = port.ReplyTimes().Summarize();
  return result;
}

void Print(const char* mode, int frames, const Result& result) {
  const double max = result.latencies_us.empty() ? 0
                                                 : *std::max_element(result.latencies_us.begin(),
                                                                     result.latencies_us.end());
  std::printf(
      "%-13s frames %6d  p50 %8.1f us  p99 %8.1f us  max %9.1f us  deck CPU %6.1f us/frame"
      "  missing %d  wrong %d\n",
      mode, frames, Percentile(result.latencies_us, 0.50), Percentile(result.latencies_us, 0.99),
      max, frames > 0 ? result.deck_cpu_us / frames : 0.0, result.missing, result.wrong);
  auto us = [](vxr::CLatencyRecord::Duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  };
  std::printf(
      "  of which on the deck p50 %8.1f us  p99 %8.1f us  max %9.1f us  (last byte read "
      "to reply written, %lld frames)\n",
      us(result.on_deck.p50), us(result.on_deck.p99), us(result.on_deck.max),
      static_cast<long long>(result.on_deck.count));
}

void Usage() {
  std::printf(
      "Usage: reply_latency [--frames N] [--period-ms MS]\n"
      "  --frames N      frames in each run (default 10000)\n"
      "  --period-ms MS  pacing of the paced run (default 20)\n"
      "Runs the deck with a stand-in player over a pseudo-terminal, paced and then back to\n"
      "back, and prints reply latency (p50, p99, max) and the deck's CPU time per frame.\n");
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 10000;
  int period_ms = 20;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--frames" || arg == "--period-ms") && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 1 || value > 10000000) {
        Usage();
        return 2;
      }
      (arg == "--frames" ? frames : period_ms) = static_cast<int>(value);
    } else {
      Usage();
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }

  // The receiver's report at each stop repeats what this program prints.
  vxr::SetDiagnosticSink([](std::string_view, std::string_view) {});
  PtyPair pty;
  if (!pty.ok()) {
    std::fprintf(stderr, "reply_latency: no pseudo-terminal available\n");
    return 1;
  }
  auto player = std::make_unique<vxr::testing::FakeDeckPlayer>();
  player->SetStatusByte(0, 0x00);  // a tape is in: transport commands are carried out
  player->SetStatusByte(1, 0xA0);
  player->SetStatusByte(2, 0x02);
  auto holder = std::make_shared<std::unique_ptr<vxr::testing::FakeDeckPlayer>>(std::move(player));
  vxr::CVtrDeck deck(
      [holder]() -> std::unique_ptr<vxr::CDeckPlayer> { return std::move(*holder); });
  if (deck.CreatePlayer() != 0) {
    std::fprintf(stderr, "reply_latency: the deck has no player\n");
    return 1;
  }

  // A real controller is a machine of its own; here it shares the CPUs with the deck and with
  // whatever else runs, so it asks for the same priority as the receiver (best effort).
  const bool raised = vxr::SetCurrentThreadPriority(vxr::ThreadPriority::kTimeCritical, "Bench");
  std::printf("reply latency over %s, last byte written to last byte read (controller at %s)\n",
              pty.SlavePath().c_str(), raised ? "raised priority" : "normal priority");
  char paced[32];
  std::snprintf(paced, sizeof paced, "paced %d ms", period_ms);
  const Result paced_result = Run(pty, deck, frames, period_ms);
  Print(paced, frames, paced_result);
  const Result burst_result = Run(pty, deck, frames, 0);
  Print("back to back", frames, burst_result);
  return paced_result.missing + burst_result.missing + paced_result.wrong + burst_result.wrong == 0
             ? 0
             : 1;
}
