// control_latency: what the studio's TCP control protocol costs the deck. A deck with a
// stand-in player serves an edit controller over a pseudo-terminal and the control protocol on
// loopback; the deck's side of the protocol is carried out at once on the server's thread (in
// the program it is posted to the user-interface thread, which adds one event-loop turn).
// Prints:
//   - command to reply: p50 and p99 of `transport info` and `ping` (goal p99 < 1 ms);
//   - change to notification: from a status change in the player to the subscribed client's
//     `508 transport info` (goal p99 < one output frame, 40 ms);
//   - 16 clients polling `transport info` at 10 Hz: the CPU the deck spends beyond serving the
//     controller alone (goal < 2 % of a core), and the controller's reply p99 beside it, without
//     and with the clients (goal < 0.3 ms);
//   - the library's rescan of 1000 tapes (first scan, probing each, and a rescan from the cache).
//
//   control_latency [--seconds N] [--tapes N]     (defaults 10 s per CPU phase, 1000 tapes)

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/percentile.h"
#include "deck/vtr_deck.h"
#include "library/tape_library.h"
#include "netctl/control_server.h"
#include "platform/diagnostics.h"
#include "protocol/control_port.h"
#include "protocol/status_bits.h"
#include "testing/control_client.h"
#include "testing/fake_deck_player.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace {

using Clock = std::chrono::steady_clock;
using vxr::bench::Percentile;
using vxr::testing::CControlClient;
using vxr::testing::PtyPair;

constexpr int kReplyMs = 1000;
constexpr int kClients = 16;
constexpr int kClientPeriodMs = 100;
constexpr int kControllerPeriodMs = 20;
constexpr std::uint32_t kTapeFrames = 1500;
constexpr std::uint8_t kPlayByte1 = 0x01;
constexpr std::uint8_t kStopByte1 = 0x20;

double CpuUs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The deck as the server drives it, carried out on the calling thread.
class InlineDeck : public vxr::IDeckControl {
 public:
  explicit InlineDeck(vxr::CVtrDeck& deck) : deck_(deck) {}
  vxr::ControlDeckState State() override {
    vxr::ControlDeckState state;
    state.has_player = true;
    deck_.ReadLive(state.status.data(), &state.frame);
    state.frame_count = kTapeFrames;
    state.video_format = "PAL";
    state.clip_id = 1;
    state.clip_count = 1;
    return state;
  }
  std::vector<vxr::ControlClip> Clips() override {
    return {{1, "a.avi", kTapeFrames, "AVI", "PAL"}};
  }
  void Submit(const vxr::ControlAction& action, std::function<void(int)> done) override {
    vxr::Timecode timecode;
    timecode.FromFrames(action.frame, 25);
    deck_.Drive(vxr::TransportOp::kCueUp, 0.0, timecode);
    done(vxr::kControlOk);
  }

 private:
  vxr::CVtrDeck& deck_;
};

void PrintLatency(const char* what, const std::vector<double>& us, int failed) {
  std::printf("%-34s n %6zu  p50 %8.1f us  p99 %8.1f us  max %9.1f us  failed %d\n", what,
              us.size(), Percentile(us, 0.5), Percentile(us, 0.99),
              us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()), failed);
}

void CommandToReply(int port, const std::string& command, int count) {
  CControlClient client;
  if (!client.Connect(port) || client.ReadReply(kReplyMs).empty()) return;
  std::vector<double> us;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point sent = Clock::now();
    const std::string reply = client.Command(command, kReplyMs);
    if (reply.empty()) {
      ++failed;
      continue;
    }
    us.push_back(Us(Clock::now() - sent));
  }
  PrintLatency(("command to reply: " + command.substr(0, command.size() - 1)).c_str(), us, failed);
}

void ChangeToNotification(int port, vxr::testing::FakeDeckPlayer& player, int count) {
  CControlClient client;
  if (!client.Connect(port) || client.ReadReply(kReplyMs).empty()) return;
  client.Command("notify: transport: true\n", kReplyMs);
  std::vector<double> us;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    const bool play = i % 2 == 0;
    const Clock::time_point changed = Clock::now();
    player.SetStatusByte(1, play ? kPlayByte1 : kStopByte1);
    const std::string note = client.ReadReply(kReplyMs);
    if (note.find(play ? "status: play" : "status: stopped") == std::string::npos) {
      ++failed;
      continue;
    }
    us.push_back(Us(Clock::now() - changed));
  }
  PrintLatency("change to notification", us, failed);
}

struct Phase {
  double deck_cpu_us = 0;
  std::vector<double> controller_us;
};

// The controller's status senses every 20 ms for seconds; with clients, 16 of them poll
// `transport info` at 10 Hz from one thread meanwhile.
Phase RunPhase(PtyPair& pty, int port, int seconds, bool with_clients) {
  Phase phase;
  std::atomic<bool> stop{false};
  std::atomic<double> clients_cpu_us{0};
  std::thread clients;
  if (with_clients) {
    clients = std::thread([&] {
      const double before = CpuUs(CLOCK_THREAD_CPUTIME_ID);
      std::vector<std::unique_ptr<CControlClient>> list;
      for (int i = 0; i < kClients; ++i) {
        list.push_back(std::make_unique<CControlClient>());
        if (list.back()->Connect(port)) list.back()->ReadReply(kReplyMs);
      }
      Clock::time_point next = Clock::now();
      while (!stop) {
        next += std::chrono::milliseconds(kClientPeriodMs);
        for (auto& client : list) client->Command("transport info\n", kReplyMs);
        std::this_thread::sleep_until(next);
      }
      clients_cpu_us = CpuUs(CLOCK_THREAD_CPUTIME_ID) - before;
    });
  }
  const double process_before = CpuUs(CLOCK_PROCESS_CPUTIME_ID);
  const double own_before = CpuUs(CLOCK_THREAD_CPUTIME_ID);
  const PtyPair::Bytes sense = {0x61, 0x20, 0x0A, 0x8B};
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  Clock::time_point next = Clock::now();
  while (Clock::now() < end) {
    next += std::chrono::milliseconds(kControllerPeriodMs);
    std::this_thread::sleep_until(next);
    if (!pty.Write(sense)) continue;
    const Clock::time_point sent = Clock::now();
    if (!pty.ReadFrame(kReplyMs).empty()) phase.controller_us.push_back(Us(Clock::now() - sent));
  }
  const double own_us = CpuUs(CLOCK_THREAD_CPUTIME_ID) - own_before;
  stop = true;
  if (clients.joinable()) clients.join();
  phase.deck_cpu_us = CpuUs(CLOCK_PROCESS_CPUTIME_ID) - process_before - own_us - clients_cpu_us;
  return phase;
}

void LibraryRescan(int tapes) {
  vxr::testing::TempFolder folder;
  std::string error;
  const std::string tape =
      vxr::testing::MakeTestTape(folder, "tape.avi", vxr::testing::SmallTape(2.0), &error);
  if (tape.empty()) {
    std::printf("library: no test tape (%s)\n", error.c_str());
    return;
  }
  const std::filesystem::path library = std::filesystem::path(folder.path()) / "library";
  std::filesystem::create_directories(library);
  for (int i = 0; i < tapes; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "tape%04d.avi", i);
    std::filesystem::copy_file(tape, library / name);
    // Written long ago: offered at the first scan.
    std::filesystem::last_write_time(
        library / name, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  vxr::CTapeLibrary scanned({library.string()}, folder.File("state"));
  Clock::time_point start = Clock::now();
  scanned.Rescan();
  const double first_ms = Us(Clock::now() - start) / 1000.0;
  std::vector<double> rescans;
  for (int i = 0; i < 5; ++i) {
    start = Clock::now();
    scanned.Rescan();
    rescans.push_back(Us(Clock::now() - start) / 1000.0);
  }
  std::printf(
      "library of %d tapes: first scan (probing each) %.1f ms, rescan p50 %.1f ms max "
      "%.1f ms, %zu offered\n",
      tapes, first_ms, Percentile(rescans, 0.5), *std::max_element(rescans.begin(), rescans.end()),
      scanned.Offered().size());
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  int tapes = 1000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--seconds" || arg == "--tapes") && i + 1 < argc) {
      (arg == "--seconds" ? seconds : tapes) = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf("Usage: control_latency [--seconds N] [--tapes N]\n");
      return arg == "--help" ? 0 : 2;
    }
  }
  vxr::SetDiagnosticSink([](std::string_view, std::string_view) {});
  PtyPair pty;
  auto player = std::make_unique<vxr::testing::FakeDeckPlayer>();
  vxr::testing::FakeDeckPlayer& fake = *player;
  fake.SetStatusByte(0, 0x00);
  fake.SetStatusByte(1, kStopByte1);
  auto holder = std::make_shared<std::unique_ptr<vxr::testing::FakeDeckPlayer>>(std::move(player));
  vxr::CVtrDeck deck(
      [holder]() -> std::unique_ptr<vxr::CDeckPlayer> { return std::move(*holder); });
  if (!pty.ok() || deck.CreatePlayer() != 0 || deck.StartReceiver(pty.SlavePath().c_str()) != 0) {
    std::fprintf(stderr, "control_latency: no deck on a pseudo-terminal\n");
    return 1;
  }
  InlineDeck control(deck);
  vxr::ControlServerOptions options;
  options.endpoint.port = 0;
  vxr::CControlServer server(control, options, [](const std::string&) {});
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "control_latency: %s\n", error.c_str());
    return 1;
  }
  CommandToReply(server.Port(), "transport info\n", 5000);
  CommandToReply(server.Port(), "ping\n", 5000);
  ChangeToNotification(server.Port(), fake, 1000);

  const Phase alone = RunPhase(pty, server.Port(), seconds, false);
  const Phase polled = RunPhase(pty, server.Port(), seconds, true);
  const double added = (polled.deck_cpu_us - alone.deck_cpu_us) / (seconds * 1e6) * 100.0;
  std::printf(
      "%d clients polling transport info at %d Hz: deck CPU added %.2f %% of a core "
      "(%.2f %% with them, %.2f %% without)\n",
      kClients, 1000 / kClientPeriodMs, added, polled.deck_cpu_us / (seconds * 1e6) * 100.0,
      alone.deck_cpu_us / (seconds * 1e6) * 100.0);
  PrintLatency("controller reply, no clients", alone.controller_us, 0);
  PrintLatency("controller reply, 16 clients", polled.controller_us, 0);
  server.Stop();
  deck.StopReceiver();
  LibraryRescan(tapes);
  return 0;
}
