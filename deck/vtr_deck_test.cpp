#include "deck/vtr_deck.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

#include "protocol/frame.h"
#include "protocol/status_bits.h"
#include "testing/fake_deck_player.h"

namespace vxr {
namespace {

using testing::FakeDeckPlayer;
using Bytes = std::vector<std::uint8_t>;

// A deck whose factory hands out one fake player that the test keeps an eye on.
class DeckTest : public ::testing::Test {
 protected:
  void MakeDeck(bool with_player = true, HRESULT init_result = 0) {
    auto fake = std::make_unique<FakeDeckPlayer>();
    fake->SetInitializeResult(init_result);
    player_ = fake.get();
    auto holder = std::make_shared<std::unique_ptr<FakeDeckPlayer>>(std::move(fake));
    deck_ = std::make_unique<CVtrDeck>(
        [holder]() -> std::unique_ptr<CDeckPlayer> { return std::move(*holder); });
    if (with_player) {
      ASSERT_EQ(deck_->CreatePlayer(), init_result);
      if (FAILED(init_result)) player_ = nullptr;
    }
  }

  void LoadTape() {
    player_->SetStatusByte(0, 0x00);
    player_->SetStatusByte(1, 0xA0);  // Stop, Standby
    player_->SetStatusByte(2, 0x02);  // Still
    player_->SetStatusByte(8, 0x01);  // Rec_Inhibit
  }

  // Sends the frame and returns the reply, read by its own length rule.
  Bytes Send(std::initializer_list<std::uint8_t> frame) {
    const Bytes in(frame);
    const std::uint8_t* reply = deck_->ProcessCommand(in.data(), static_cast<int>(in.size()));
    return Bytes(reply, reply + FrameLength(reply[0]));
  }

  std::vector<FakeDeckPlayer::Call> TransportCalls() const {
    std::vector<FakeDeckPlayer::Call> calls;
    for (const auto& call : player_->Calls()) {
      if (call.name != "GetCurrentTime" && call.name != "SetLocal") calls.push_back(call);
    }
    return calls;
  }

  FakeDeckPlayer* player_ = nullptr;
  std::unique_ptr<CVtrDeck> deck_;
};

const Bytes kAckBytes = {0x10, 0x01, 0x11};
const Bytes kNak01 = {0x11, 0x12, 0x01, 0x24};
const Bytes kNak04 = {0x11, 0x12, 0x04, 0x27};
const Bytes kNak00 = {0x11, 0x12, 0x00, 0x23};

// --- Transport group ---

TEST_F(DeckTest, StopWithTapeIsAcknowledgedAndCalled) {
  MakeDeck();
  LoadTape();
  EXPECT_EQ(Send({0x20, 0x00, 0x20}), kAckBytes);
  ASSERT_EQ(TransportCalls().size(), 1u);
  EXPECT_EQ(TransportCalls()[0].name, "Stop");
  EXPECT_EQ(Send({0x20, 0x00, 0x21}), kNak04);
  EXPECT_EQ(TransportCalls().size(), 1u);
}

TEST_F(DeckTest, EveryTransportCommandIsRefusedWithoutATape) {
  MakeDeck();
  for (auto frame : {Bytes{0x20, 0x00, 0x20}, Bytes{0x20, 0x01, 0x21}, Bytes{0x20, 0x04, 0x24},
                     Bytes{0x20, 0x0F, 0x2F}, Bytes{0x21, 0x11, 0x40, 0x72},
                     Bytes{0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65}, Bytes{0x20, 0x60, 0x80}}) {
    const std::uint8_t* reply = deck_->ProcessCommand(frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(Bytes(reply, reply + 4), kNak01);
  }
  EXPECT_TRUE(TransportCalls().empty());
  // The two bits above Tape_OUT refuse as well.
  player_->SetStatusByte(0, 0x40);
  EXPECT_EQ(Send({0x20, 0x01, 0x21}), kNak01);
  EXPECT_TRUE(TransportCalls().empty());
}

TEST_F(DeckTest, TransportCommandsWithoutAPlayerAreRefused) {
  MakeDeck(/*with_player=*/false);
  EXPECT_EQ(Send({0x20, 0x01, 0x21}), kNak01);
  EXPECT_EQ(Send({0x00, 0x11, 0x11}), kNak01);
  EXPECT_EQ(Send({0x61, 0x0C, 0x01, 0x6E}), kNak01);
}

TEST_F(DeckTest, TransportCommandsMapToTheirCalls) {
  MakeDeck();
  LoadTape();
  EXPECT_EQ(Send({0x20, 0x01, 0x21}), kAckBytes);
  EXPECT_EQ(Send({0x20, 0x0F, 0x2F}), kAckBytes);
  EXPECT_EQ(Send({0x20, 0x10, 0x30}), kAckBytes);
  EXPECT_EQ(Send({0x20, 0x20, 0x40}), kAckBytes);
  EXPECT_EQ(Send({0x21, 0x11, 0x40, 0x72}), kAckBytes);
  EXPECT_EQ(Send({0x21, 0x21, 0x40, 0x82}), kAckBytes);
  EXPECT_EQ(Send({0x22, 0x13, 0x40, 0x80, 0xF5}), kAckBytes);
  EXPECT_EQ(Send({0x20, 0x11, 0x31}), kAckBytes);
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65}), kAckBytes);
  const auto calls = TransportCalls();
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(calls[0].name, "Play");
  EXPECT_EQ(calls[1].name, "Eject");
  EXPECT_EQ(calls[2].name, "FastFwd");
  EXPECT_EQ(calls[3].name, "Rewind");
  EXPECT_EQ(calls[4].name, "Jog");
  EXPECT_DOUBLE_EQ(calls[4].speed, 1.0);
  EXPECT_EQ(calls[5].name, "Jog");
  EXPECT_DOUBLE_EQ(calls[5].speed, -1.0);
  EXPECT_EQ(calls[6].name, "Shuttle");
  EXPECT_NEAR(calls[6].speed, 1.0373039, 5e-8);
  EXPECT_EQ(calls[7].name, "Jog");
  EXPECT_EQ(calls[7].speed, 0.0);
  EXPECT_EQ(calls[8].name, "CueUp");
  EXPECT_EQ(calls[8].timecode, 0x00001000u);
}

TEST_F(DeckTest, AcknowledgedCommandsWithoutAction) {
  MakeDeck();
  LoadTape();
  EXPECT_EQ(Send({0x20, 0x04, 0x24}), kAckBytes);
  EXPECT_EQ(Send({0x20, 0x60, 0x80}), kAckBytes);
  EXPECT_EQ(Send({0x21, 0x60, 0x00, 0x81}), kNak01);
  EXPECT_EQ(Send({0x20, 0x31, 0x51}), kNak01);
  EXPECT_EQ(Send({0x20, 0x30, 0x50}), kNak01);
  EXPECT_TRUE(TransportCalls().empty());
}

TEST_F(DeckTest, LocalDoesNotGateTheController) {
  MakeDeck();
  LoadTape();
  deck_->SetLocal(1);
  EXPECT_EQ(Send({0x20, 0x01, 0x21}), kAckBytes);
  EXPECT_EQ(TransportCalls().size(), 1u);
}

// --- System, preset and undefined groups ---

TEST_F(DeckTest, DeviceTypeAtBothRates) {
  MakeDeck();
  EXPECT_EQ(Send({0x00, 0x11, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  player_->SetDeviceType(0x20, 0x50);
  EXPECT_EQ(Send({0x00, 0x11, 0x11}), (Bytes{0x12, 0x11, 0x20, 0x50, 0x93}));
}

TEST_F(DeckTest, PresetAndTimerModeKeepTheirLastGoodValue) {
  MakeDeck(/*with_player=*/false);
  EXPECT_EQ(Send({0x41, 0x36, 0x01, 0x78}), kAckBytes);
  EXPECT_EQ(deck_->TimerMode(), 1);
  EXPECT_EQ(Send({0x41, 0x36, 0x02, 0x79}), kNak00);
  EXPECT_EQ(deck_->TimerMode(), 1);
  EXPECT_EQ(Send({0x41, 0x31, 0x3B, 0xAD}), kAckBytes);
  EXPECT_EQ(deck_->PresetValue(), 0x3B);
  EXPECT_EQ(Send({0x41, 0x31, 0x3C, 0xAE}), kNak00);
  EXPECT_EQ(deck_->PresetValue(), 0x3B);
}

TEST_F(DeckTest, UndefinedGroupsGetNak01AndTheNextFrameStillWorks) {
  MakeDeck();
  LoadTape();
  EXPECT_EQ(Send({0x10, 0x01, 0x11}), kNak01);
  EXPECT_EQ(Send({0xF0, 0x00, 0xF0}), kNak01);
  EXPECT_EQ(Send({0x00}), kNak04);
  EXPECT_EQ(Send({0x20, 0x00, 0x20}), kAckBytes);
}

// --- Status sense ---

TEST_F(DeckTest, StatusSenseWithoutTapeInRemoteAndLocal) {
  MakeDeck();
  Bytes expected = {0x7F, 0x20, 0x20};
  expected.insert(expected.end(), 14, 0x00);
  expected.push_back(0xBF);
  EXPECT_EQ(Send({0x61, 0x20, 0x0F, 0x90}), expected);
  deck_->SetLocal(1);
  expected[2] = 0x21;
  expected.back() = 0xC0;
  EXPECT_EQ(Send({0x61, 0x20, 0x0F, 0x90}), expected);
}

TEST_F(DeckTest, StatusSenseAfterALoad) {
  MakeDeck();
  LoadTape();
  EXPECT_EQ(Send({0x61, 0x20, 0x03, 0x84}), (Bytes{0x73, 0x20, 0x00, 0xA0, 0x02, 0x35}));
}

TEST_F(DeckTest, StatusSenseWithoutDataOrPlayer) {
  MakeDeck(/*with_player=*/false);
  EXPECT_EQ(Send({0x60, 0x20, 0x80}), (Bytes{0x70, 0x20, 0x90}));
  EXPECT_EQ(Send({0x61, 0x20, 0x00, 0x81}), (Bytes{0x70, 0x20, 0x90}));
  EXPECT_EQ(Send({0x61, 0x20, 0x01, 0x82}), (Bytes{0x71, 0x20, 0x24, 0xB5}));
}

TEST_F(DeckTest, StatusSensePastTheBlockAnswersZerosForMissingBytes) {
  MakeDeck();
  player_->SetStatusByte(15, 0x5A);
  player_->SetStatusByte(14, 0x11);
  // Start 14, count 4: bytes 14 and 15, then two zeros.
  const Bytes reply = Send({0x61, 0x20, 0xE4, 0x65});
  EXPECT_EQ(reply, (Bytes{0x74, 0x20, 0x11, 0x5A, 0x00, 0x00, 0xFF}));
  // Start 15, count 15: the longest window still fits the reply buffer.
  const Bytes longest = Send({0x61, 0x20, 0xFF, 0x80});
  ASSERT_EQ(longest.size(), 18u);
  EXPECT_EQ(longest[2], 0x5A);
  for (std::size_t i = 3; i < 17; ++i) EXPECT_EQ(longest[i], 0x00);
}

// --- Time sense ---

TEST_F(DeckTest, TimeSenseLockedAndWinding) {
  MakeDeck();
  LoadTape();
  player_->SetCurrentTime(0x00001000);
  deck_->RefreshStatus(16, nullptr, nullptr);
  EXPECT_EQ(Send({0x61, 0x0C, 0x01, 0x6E}), (Bytes{0x74, 0x04, 0x00, 0x10, 0x00, 0x00, 0x88}));
  // Winding: neither Still nor Servo_Lock.
  player_->SetStatusByte(2, 0x00);
  player_->SetStatusByte(1, 0x04);
  deck_->RefreshStatus(16, nullptr, nullptr);
  EXPECT_EQ(Send({0x61, 0x0C, 0x01, 0x6E}), (Bytes{0x74, 0x14, 0x00, 0x10, 0x00, 0x00, 0x98}));
  // Servo_Lock alone counts as locked.
  player_->SetStatusByte(2, 0x80);
  deck_->RefreshStatus(16, nullptr, nullptr);
  EXPECT_EQ(Send({0x61, 0x0C, 0x03, 0x70})[1], 0x04);
}

TEST_F(DeckTest, TimeSenseSelectors) {
  MakeDeck();
  LoadTape();
  player_->SetCurrentTime(0x01020304);
  deck_->RefreshStatus(16, nullptr, nullptr);
  EXPECT_EQ(Send({0x61, 0x0C, 0x02, 0x6F}), (Bytes{0x70, 0x0D, 0x7D}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x00, 0x6D}), (Bytes{0x70, 0x0D, 0x7D}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x04, 0x71}), (Bytes{0x74, 0x00, 0x04, 0x03, 0x02, 0x01, 0x7E}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x11, 0x7E})[1], 0x04);
  EXPECT_EQ(Send({0x61, 0x0C, 0x33, 0xA0})[1], 0x04);
  // User bits: the player's fixed bytes.
  EXPECT_EQ(Send({0x61, 0x0C, 0x10, 0x7D}), (Bytes{0x74, 0x05, 0x11, 0x22, 0x33, 0x44, 0x23}));
  EXPECT_EQ(Send({0x61, 0x0C, 0x30, 0x9D})[1], 0x05);
  // With no data byte the selector is the checksum byte 6C: no time data.
  EXPECT_EQ(Send({0x60, 0x0C, 0x6C}), (Bytes{0x70, 0x0D, 0x7D}));
}

TEST_F(DeckTest, TimeSenseAsksThePlayerEvenForSelectorsWithoutData) {
  MakeDeck();
  LoadTape();
  player_->ClearCalls();
  Send({0x61, 0x0C, 0x02, 0x6F});
  ASSERT_EQ(player_->Calls().size(), 1u);
  EXPECT_EQ(player_->Calls()[0].name, "GetCurrentTime");
}

TEST_F(DeckTest, TimeSenseWithoutTapeIsNeverLocked) {
  MakeDeck();
  player_->SetStatusByte(2, 0x02);
  deck_->RefreshStatus(16, nullptr, nullptr);
  EXPECT_EQ(Send({0x61, 0x0C, 0x01, 0x6E})[1], 0x14);
}

// --- Status copy and panel operations ---

TEST_F(DeckTest, RefreshStatusWithoutPlayer) {
  MakeDeck(/*with_player=*/false);
  std::uint8_t buffer[17];
  std::fill(std::begin(buffer), std::end(buffer), 0xA5);
  int count = -1;
  deck_->RefreshStatus(9, buffer, &count);
  EXPECT_EQ(count, 9);
  EXPECT_EQ(buffer[0], 0x24);
  for (int i = 1; i < 9; ++i) EXPECT_EQ(buffer[i], 0x00);
  for (int i = 9; i < 17; ++i) EXPECT_EQ(buffer[i], 0xA5) << "written past the count at " << i;
}

TEST_F(DeckTest, RefreshStatusKeepsOnlyTheBytesAsked) {
  MakeDeck();
  LoadTape();
  int count = -1;
  deck_->RefreshStatus(1, nullptr, &count);
  EXPECT_EQ(count, 0);
  std::uint8_t copy[16];
  deck_->StatusCopy(copy);
  EXPECT_EQ(copy[0], 0x00);
  for (int i = 1; i < 16; ++i) EXPECT_EQ(copy[i], 0x00);
  std::uint8_t buffer[20] = {};
  deck_->RefreshStatus(20, buffer, &count);
  EXPECT_EQ(count, 16);
  EXPECT_EQ(buffer[1], 0xA0);
  EXPECT_EQ(buffer[8], 0x01);
}

TEST_F(DeckTest, PanelTransportIsGatedByLocalInTheStatusCopy) {
  MakeDeck();
  LoadTape();
  deck_->RefreshStatus(9, nullptr, nullptr);
  EXPECT_EQ(deck_->PanelPlay(), OLE_E_NOTRUNNING);
  EXPECT_EQ(deck_->PanelStop(), OLE_E_NOTRUNNING);
  EXPECT_EQ(deck_->PanelFastFwd(), OLE_E_NOTRUNNING);
  EXPECT_EQ(deck_->PanelRewind(), OLE_E_NOTRUNNING);
  EXPECT_TRUE(TransportCalls().empty());
  EXPECT_EQ(deck_->PanelEject(), 0);
  ASSERT_EQ(TransportCalls().size(), 1u);
  EXPECT_EQ(TransportCalls()[0].name, "Eject");

  // Local in the player takes effect on the panel after the next refresh.
  deck_->SetLocal(1);
  EXPECT_EQ(deck_->PanelPlay(), OLE_E_NOTRUNNING);
  deck_->RefreshStatus(9, nullptr, nullptr);
  EXPECT_EQ(deck_->PanelPlay(), 0);
  EXPECT_EQ(deck_->PanelStop(), 0);
  EXPECT_EQ(deck_->PanelFastFwd(), 0);
  EXPECT_EQ(deck_->PanelRewind(), 0);
  const auto calls = TransportCalls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[1].name, "Play");
  EXPECT_EQ(calls[2].name, "Stop");
  EXPECT_EQ(calls[3].name, "FastFwd");
  EXPECT_EQ(calls[4].name, "Rewind");
}

TEST_F(DeckTest, PanelTransportFailureReportsTheLastResult) {
  MakeDeck();
  deck_->SetLocal(1);
  deck_->RefreshStatus(9, nullptr, nullptr);
  player_->SetTransportResult(1);
  player_->SetLastResult(E_FAIL);
  EXPECT_EQ(deck_->PanelPlay(), E_FAIL);
  EXPECT_EQ(deck_->PanelEject(), E_FAIL);
}

TEST_F(DeckTest, GetTimeFieldsSplitsTheTimecode) {
  MakeDeck();
  player_->SetCurrentTime(0x01020304);
  int h = -1, m = -1, s = -1, f = -1;
  ASSERT_EQ(deck_->GetTimeFields(&h, &m, &s, &f), 0);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(s, 3);
  EXPECT_EQ(f, 4);
  player_->SetCurrentTime(0x01020304 | Timecode::kFlagMask);
  ASSERT_EQ(deck_->GetTimeFields(&h, &m, &s, &f), 0);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(f, 4);
  player_->SetGetCurrentTimeResult(1);
  player_->SetLastResult(E_FAIL);
  h = 99;
  EXPECT_EQ(deck_->GetTimeFields(&h, &m, &s, &f), E_FAIL);
  EXPECT_EQ(h, 99);
}

// --- Player life cycle ---

TEST_F(DeckTest, CreatePlayerStartsInRemoteControl) {
  MakeDeck();
  const auto calls = player_->Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].name, "SetLocal");
  EXPECT_EQ(calls[0].speed, 0.0);
}

TEST_F(DeckTest, FailedInitializationLeavesNoPlayer) {
  MakeDeck(/*with_player=*/true, REGDB_E_CLASSNOTREG);
  std::uint8_t buffer[1] = {};
  deck_->RefreshStatus(1, buffer, nullptr);
  EXPECT_EQ(buffer[0], 0x24);
  EXPECT_EQ(Send({0x00, 0x11, 0x11}), kNak01);
}

TEST_F(DeckTest, NoFactoryMeansNoPlayer) {
  CVtrDeck deck;
  EXPECT_LT(deck.CreatePlayer(), 0);
  std::uint8_t buffer[2] = {};
  deck.RefreshStatus(2, buffer, nullptr);
  EXPECT_EQ(buffer[0], 0x24);
  EXPECT_EQ(deck.PanelEject(), OLE_E_NOTRUNNING);
  EXPECT_EQ(deck.InsertTape("/tmp/x.avi"), OLE_E_NOTRUNNING);
}

TEST_F(DeckTest, InsertTapePassesThePathOn) {
  MakeDeck();
  player_->SetInsertResult(85);
  EXPECT_EQ(deck_->InsertTape("/media/tapes/clip.avi"), 85);
  EXPECT_EQ(player_->InsertedPath(), "/media/tapes/clip.avi");
}

TEST_F(DeckTest, ReleasePlayerLeavesTheNoPlayerStatus) {
  MakeDeck();
  EXPECT_EQ(deck_->ReleasePlayer(), 0);
  player_ = nullptr;
  EXPECT_EQ(Send({0x60, 0x20, 0x80 + 0x00}), (Bytes{0x70, 0x20, 0x90}));
  EXPECT_EQ(Send({0x61, 0x20, 0x01, 0x82}), (Bytes{0x71, 0x20, 0x24, 0xB5}));
}

}  // namespace
}  // namespace vxr
