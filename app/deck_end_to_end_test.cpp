// The whole deck without its panel: the real player on the software board, a tape loaded, and
// an edit controller on a pseudo-terminal driving every transport command over the wire.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "deck/vtr_deck.h"
#include "platform/diagnostics.h"
#include "player/player_factory.h"
#include "player/server_registry.h"
#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "testing/controller_line.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"
#include "vboard/server/software_board.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

using testing::Bytes;

class DeckEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_sink_ = SetDiagnosticSink([](std::string_view, std::string_view) {});
    BoardConfig config;
    board_ = std::make_unique<CSoftwareBoard>(config);
    board_->Register();
    deck_ = std::make_unique<CVtrDeck>(MakeClvrPlayerFactory());
    ASSERT_EQ(deck_->CreatePlayer(), 0);
    TapeSpec spec = testing::SmallTape(12.0);  // 300 frames at 25
    std::string error;
    tape_ = testing::MakeTestTape(folder_, "reel.avi", spec, &error);
    ASSERT_FALSE(tape_.empty()) << error;
    ASSERT_TRUE(pty_.ok());
  }

  void TearDown() override {
    deck_.reset();
    board_.reset();
    UnregisterServerClasses();
    SetDiagnosticSink(previous_sink_);
  }

  Bytes Send(const Bytes& frame) { return line_.Send(frame); }
  Bytes Status(int count) { return line_.Status(count); }
  bool Has(const StatusBit& bit) { return line_.Has(bit); }
  std::int64_t TimeSense() { return line_.TimeSense(); }
  static bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 8000) {
    return testing::WaitFor(condition, timeout_ms);
  }
  std::int64_t OnOutput() { return board_->Timeline(0)->FrameOnOutput(); }

  const Bytes kAck = {0x10, 0x01, 0x11};
  DiagnosticSink previous_sink_;
  testing::TempFolder folder_;
  std::string tape_;
  testing::PtyPair pty_;
  testing::ControllerLine line_{pty_};
  std::unique_ptr<CSoftwareBoard> board_;
  std::unique_ptr<CVtrDeck> deck_;
};

TEST_F(DeckEndToEndTest, AnEditControllerDrivesTheWholeDeck) {
  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  ASSERT_EQ(deck_->StartReceiver(pty_.SlavePath().c_str()), 0);
  ASSERT_TRUE(line_.WaitUntilServed(8000));

  EXPECT_EQ(Send({0x00, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  EXPECT_EQ(Send({0x61, 0x20, 0x03}), (Bytes{0x73, 0x20, 0x00, 0xA0, 0x02, 0x35}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x01}), (Bytes{0x74, 0x04, 0x00, 0x00, 0x00, 0x00, 0x78}));

  // Play: the timecode runs and the picture moves.
  EXPECT_EQ(Send({0x20, 0x01}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Play) && TimeSense() >= 10; }));
  EXPECT_TRUE(Has(status::Servo_Lock));
  const Bytes locked = Send({0x61, 0x0C, 0x01});
  EXPECT_EQ(locked[1], 0x04);

  // Stop: the position is the picture on the output.
  EXPECT_EQ(Send({0x20, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Still) && Has(status::Stop); }));
  EXPECT_EQ(TimeSense(), OnOutput());

  // Cue to 00:00:02:00.
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x02, 0x00, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::CueUp_Complete); }));
  EXPECT_EQ(Send({0x61, 0x0C, 0x01}), (Bytes{0x74, 0x04, 0x00, 0x02, 0x00, 0x00, 0x7A}));
  EXPECT_EQ(OnOutput(), 50);

  // Jog forward at play speed, then hold.
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Jog) && OnOutput() >= 60; }));
  EXPECT_EQ(Send({0x20, 0x11}), kAck);  // jog at speed 0
  ASSERT_TRUE(WaitFor([&] { return Has(status::Still); }));
  EXPECT_TRUE(Has(status::Jog));

  // Shuttle back at about twice play speed.
  const std::int64_t before_shuttle = OnOutput();
  EXPECT_EQ(Send({0x21, 0x23, 0x49}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Shuttle) && Has(status::Reverse); }));
  ASSERT_TRUE(WaitFor([&] { return OnOutput() < before_shuttle - 5; }));
  EXPECT_EQ(Send({0x20, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Stop) && !Has(status::Shuttle); }));

  // Fast wind to the end, rewind to the start.
  // The wind has ended once it reached the end and stopped there (Stop alone may still be the
  // state before the player took the command).
  EXPECT_EQ(Send({0x20, 0x10}), kAck);
  ASSERT_TRUE(
      WaitFor([&] { return OnOutput() == 299 && !Has(status::Fast_FWD) && Has(status::Stop); }));
  EXPECT_EQ(TimeSense(), 299);
  EXPECT_TRUE(Has(status::End_Of_Tape));
  EXPECT_EQ(OnOutput(), 299);
  EXPECT_EQ(Send({0x20, 0x20}), kAck);
  ASSERT_TRUE(
      WaitFor([&] { return OnOutput() == 0 && !Has(status::Rewind) && Has(status::Stop); }));
  EXPECT_EQ(TimeSense(), 0);
  EXPECT_EQ(OnOutput(), 0);

  // Eject: no tape, and every transport command is refused from then on.
  EXPECT_EQ(Send({0x20, 0x0F}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Tape_OUT); }));
  const Bytes nak = {0x11, 0x12, 0x01, 0x24};
  for (const Bytes& frame : {Bytes{0x20, 0x01}, Bytes{0x20, 0x00}, Bytes{0x20, 0x10},
                             Bytes{0x21, 0x11, 0x40}, Bytes{0x20, 0x04}}) {
    EXPECT_EQ(Send(frame), nak);
  }
  // The deck keeps answering sense requests.
  EXPECT_EQ(Status(1), (Bytes{0x20}));
}

}  // namespace
}  // namespace vxr
