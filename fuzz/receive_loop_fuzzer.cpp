// The receive loop's framing over a real line (a pseudo-terminal): the input is a series of
// bursts, each written in one piece. Within a burst the deck must cut frames by their counts
// and answer every complete one exactly once, in order, with the reply the frame handler gives;
// the incomplete rest of a burst must be forgotten once the line has been quiet long enough.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "deck/vtr_deck.h"
#include "protocol/frame.h"
#include "testing/fake_deck_player.h"
#include "testing/pty_pair.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Quiet after an incomplete rest: beyond the 10 ms between bytes, and beyond the wait for a
// frame's data after a complete head, with room for a busy machine.
constexpr int kQuietAfterPartMs = 50;
constexpr int kQuietAfterHeadMs = 160;
constexpr std::size_t kMaxBursts = 12;

std::unique_ptr<vxr::CDeckPlayer> MakePlayer() {
  auto player = std::make_unique<vxr::testing::FakeDeckPlayer>();
  player->SetStatusByte(0, 0x01);
  player->SetCurrentTime(0x00102030);
  return player;
}

struct Line {
  vxr::testing::PtyPair pty;
  vxr::CVtrDeck deck{MakePlayer};
  vxr::CVtrDeck reference{MakePlayer};  // the same handler, answering in the harness

  Line() {
    deck.CreatePlayer();
    reference.CreatePlayer();
    if (!pty.ok() || deck.StartReceiver(pty.SlavePath().c_str()) != 0) {
      std::fprintf(stderr, "receive loop: no line to serve\n");
      std::abort();
    }
    // What is sent before the receiver serves is purged: poll until it answers.
    const Bytes probe = {0x61, 0x20, 0x01, 0x82};
    for (int i = 0; i < 100; ++i) {
      pty.Write(probe);
      if (pty.ReadFrame(100).size() == 4) break;
    }
    pty.Drain(50);
  }
};

[[noreturn]] void Fault(const char* what, const Bytes& burst, const Bytes& want, const Bytes& got) {
  auto dump = [](const char* name, const Bytes& bytes) {
    std::fprintf(stderr, "  %s:", name);
    for (std::uint8_t b : bytes) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\n");
  };
  std::fprintf(stderr, "receive loop: %s\n", what);
  dump("burst", burst);
  dump("expected", want);
  dump("answered", got);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Line* line = new Line();  // one deck serving one line for the whole run
  std::size_t at = 0;
  for (std::size_t burst_count = 0; at < size && burst_count < kMaxBursts; ++burst_count) {
    // Each burst: a length byte (1 to 64) and that many bytes.
    const std::size_t length = std::min<std::size_t>((data[at] & 0x3F) + 1, size - at - 1);
    ++at;
    if (length == 0) break;
    const Bytes burst(data + at, data + at + length);
    at += length;

    // What the deck must answer: the complete frames of the burst, in order.
    Bytes want;
    std::size_t cut = 0;
    while (cut + 3 <= burst.size()) {
      const std::size_t frame_length = static_cast<std::size_t>(vxr::FrameLength(burst[cut]));
      if (cut + frame_length > burst.size()) break;
      const std::uint8_t* reply =
          line->reference.ProcessCommand(burst.data() + cut, static_cast<int>(frame_length));
      want.insert(want.end(), reply, reply + vxr::FrameLength(reply[0]));
      cut += frame_length;
    }
    const std::size_t rest = burst.size() - cut;

    if (!line->pty.Write(burst)) Fault("the line takes no bytes", burst, want, {});
    const Bytes got = line->pty.Read(want.size(), 3000);
    if (got != want) Fault("replies differ", burst, want, got);

    if (rest != 0) {
      // A complete head without any of its data waits for its data longer than a broken head.
      const bool bare_head = rest == 3;
      std::this_thread::sleep_for(
          std::chrono::milliseconds(bare_head ? kQuietAfterHeadMs : kQuietAfterPartMs));
    }
  }
  // Nothing more may come: no frame answered twice, no rest answered.
  const Bytes stray = line->pty.Drain(5);
  if (!stray.empty()) Fault("replies nobody asked for", {}, {}, stray);
  return 0;
}
