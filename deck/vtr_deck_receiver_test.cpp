#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "deck/vtr_deck.h"
#include "platform/manual_reset_event.h"
#include "protocol/frame.h"
#include "testing/controller_line.h"
#include "testing/fake_deck_player.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::FakeDeckPlayer;
using testing::PtyPair;
using Bytes = PtyPair::Bytes;
using Clock = std::chrono::steady_clock;

const Bytes kAckBytes = {0x10, 0x01, 0x11};

// What a player that can hold a status read tells the test, kept outside the player so that it
// can still be read once the player is gone.
struct PlayerWatch {
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyed_while_in_use{false};
  ManualResetEvent reading;
  ManualResetEvent release;
};

// A fake player whose status read waits until the test releases it, as a slow player might.
class HoldingPlayer : public FakeDeckPlayer {
 public:
  explicit HoldingPlayer(std::shared_ptr<PlayerWatch> watch) : watch_(std::move(watch)) {}
  ~HoldingPlayer() override { watch_->destroyed = true; }

  int ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) override {
    const std::shared_ptr<PlayerWatch> watch = watch_;
    watch->reading.Set();
    watch->release.Wait(ManualResetEvent::kInfinite);
    if (watch->destroyed.load()) {
      watch->destroyed_while_in_use = true;
      return 0;
    }
    return FakeDeckPlayer::ReadStatus(destination, start, count);
  }

 private:
  std::shared_ptr<PlayerWatch> watch_;
};

// A deck with a fake player, serving the deck's side of a pty pair.
class DeckReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    auto fake = std::make_unique<FakeDeckPlayer>();
    player_ = fake.get();
    auto holder = std::make_shared<std::unique_ptr<FakeDeckPlayer>>(std::move(fake));
    deck_ = std::make_unique<CVtrDeck>(
        [holder]() -> std::unique_ptr<CDeckPlayer> { return std::move(*holder); });
    ASSERT_EQ(deck_->CreatePlayer(), 0);
  }

  void LoadTape() {
    player_->SetStatusByte(0, 0x00);
    player_->SetStatusByte(1, 0xA0);
    player_->SetStatusByte(2, 0x02);
  }

  void Start() {
    ASSERT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()), 0);
    // The receiver discards what came before it: the controller polls until it is answered, so
    // the first frame below is read whole.
    ASSERT_TRUE(testing::ControllerLine(pty_).WaitUntilServed(kServeMs));
  }

  static constexpr int kServeMs = 10000;

  Bytes Transact(const Bytes& frame) {
    EXPECT_TRUE(pty_.Write(frame));
    return pty_.ReadFrame(2000);
  }

  std::vector<std::string> TransportCallNames() const {
    std::vector<std::string> names;
    for (const auto& call : player_->Calls()) {
      if (call.name != "GetCurrentTime" && call.name != "SetLocal") names.push_back(call.name);
    }
    return names;
  }

  PtyPair pty_;
  FakeDeckPlayer* player_ = nullptr;
  std::unique_ptr<CVtrDeck> deck_;
};

TEST_F(DeckReceiverTest, StartAndStopThroughTheDeck) {
  EXPECT_EQ(deck_->IsReceiverStopped(), 1);
  EXPECT_EQ(deck_->StartReceiver(nullptr), E_POINTER);
  EXPECT_EQ(deck_->StartReceiver(""), E_POINTER);
  EXPECT_EQ(deck_->StartReceiver("/dev/vxr-no-such-port"), static_cast<HRESULT>(0x80070002u));
  EXPECT_EQ(deck_->IsReceiverStopped(), 1);
  Start();
  EXPECT_EQ(deck_->IsReceiverStopped(), 0);
  // Another deck cannot take the port this one holds.
  CVtrDeck other;
  EXPECT_EQ(other.StartReceiver(pty_.SlavePath().c_str()), static_cast<HRESULT>(0x80070005u));
  EXPECT_EQ(other.IsReceiverStopped(), 1);
  EXPECT_EQ(deck_->StopReceiver(), 0);
  EXPECT_EQ(deck_->IsReceiverStopped(), 1);
  EXPECT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()), static_cast<HRESULT>(0x80070055u));
}

TEST_F(DeckReceiverTest, ControllerDrivesTheDeckOverTheLine) {
  LoadTape();
  Start();
  EXPECT_EQ(Transact({0x00, 0x11, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  EXPECT_EQ(Transact({0x61, 0x20, 0x03, 0x84}), (Bytes{0x73, 0x20, 0x00, 0xA0, 0x02, 0x35}));
  EXPECT_EQ(Transact({0x20, 0x01, 0x21}), kAckBytes);
  // A bad checksum is refused, and the next good frame is answered as usual.
  EXPECT_EQ(Transact({0x20, 0x01, 0x22}), (Bytes{0x11, 0x12, 0x04, 0x27}));
  EXPECT_EQ(Transact({0x20, 0x00, 0x20}), kAckBytes);
  EXPECT_EQ(TransportCallNames(), (std::vector<std::string>{"Play", "Stop"}));
  EXPECT_TRUE(pty_.Drain(50).empty());
}

TEST_F(DeckReceiverTest, ManyCuesBackToBackRunOnceEachInOrder) {
  LoadTape();
  Start();
  constexpr int kFrames = 1500;
  std::vector<Bytes> frames;
  std::vector<std::uint32_t> timecodes;
  for (int i = 0; i < kFrames; ++i) {
    Timecode timecode;
    timecode.FromFrames(static_cast<std::uint32_t>(i * 7), 25);
    timecodes.push_back(timecode.value);
    Bytes frame = {
        0x24, 0x31, timecode.Byte(0), timecode.Byte(1), timecode.Byte(2), timecode.Byte(3)};
    frame.push_back(static_cast<std::uint8_t>(Checksum(frame.data(), 6)));
    frames.push_back(frame);
  }
  const std::vector<Bytes> replies = testing::ControllerLine(pty_).SendBackToBack(frames, 5000);
  ASSERT_EQ(replies.size(), frames.size());
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(replies[i], kAckBytes) << i;
  std::vector<std::uint32_t> cued;
  for (const auto& call : player_->Calls()) {
    if (call.name == "CueUp") cued.push_back(call.timecode);
  }
  EXPECT_EQ(cued, timecodes);
}

// The panel stops the receiver and then releases the player, and the deck may be deleted with
// the receiver still serving: in neither case may the player go while a frame still uses it.
class DeckTeardownTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr int kServeMs = 10000;
  static constexpr int kResendMs = 100;
};

TEST_P(DeckTeardownTest, PlayerOutlivesTheFrameThatUsesIt) {
  const bool delete_deck = GetParam();
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto watch = std::make_shared<PlayerWatch>();
  auto deck = std::make_unique<CVtrDeck>(
      [watch]() -> std::unique_ptr<CDeckPlayer> { return std::make_unique<HoldingPlayer>(watch); });
  ASSERT_EQ(deck->CreatePlayer(), 0);
  ASSERT_EQ(deck->StartReceiver(pty.SlavePath().c_str()), 0);
  // A status sense reads the player; one sent before the receiver serves is purged unanswered,
  // so the controller sends again until the player is being read.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return pty.Write({0x61, 0x20, 0x0F, 0x90}) && watch->reading.Wait(kResendMs);
      },
      kServeMs, 0));

  std::atomic<bool> done{false};
  std::thread teardown([&] {
    if (delete_deck) {
      deck.reset();
    } else {
      deck->ReleasePlayer();
    }
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(watch->destroyed.load());
  EXPECT_FALSE(done.load());
  watch->release.Set();
  teardown.join();
  EXPECT_TRUE(watch->destroyed.load());
  EXPECT_FALSE(watch->destroyed_while_in_use.load());
  if (!delete_deck) {
    EXPECT_EQ(deck->IsReceiverStopped(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(ReleaseOrDelete, DeckTeardownTest, ::testing::Values(false, true));

}  // namespace
}  // namespace vxr
