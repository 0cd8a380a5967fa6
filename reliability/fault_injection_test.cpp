// The board fails a call (or stops on error) under a deck that an edit controller drives: the
// deck reports the failure with its usual diagnostic, shows it in the status, keeps answering the
// controller at once and carries out the next command.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "player/clv_results.h"
#include "reliability/deck_line_fixture.h"
#include "vboard/server/fault_injector.h"

namespace vxr {
namespace {

using testing::Bytes;

class FaultInjectionTest : public testing::DeckLineTest {
 protected:
  // A status sense right after the fault is answered, well formed and at once.
  void ExpectPromptAnswer() {
    double ms = 0.0;
    const Bytes reply = SendTimed({0x61, 0x20, 0x01}, &ms);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(reply[0], 0x71);
    EXPECT_EQ(reply[3], static_cast<std::uint8_t>(Checksum(reply.data(), 3)));
    EXPECT_LT(ms, kPromptReplyMs);
  }
  // Play runs: the timecode moves on by at least ten frames.
  void ExpectPlayRuns() {
    const std::int64_t from = TimeSense();
    EXPECT_EQ(Send(kPlay), kAck);
    EXPECT_TRUE(WaitFor([&] { return Has(status::Play) && TimeSense() >= from + 10; }))
        << log_.Dump();
  }
  // A cue to 00:00:02:00 completes on frame 50.
  void ExpectCueCompletes() {
    EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x02, 0x00, 0x00}), kAck);
    ASSERT_TRUE(WaitFor([&] { return Has(status::CueUp_Complete); })) << log_.Dump();
    EXPECT_EQ(TimeSense(), 50);
    EXPECT_EQ(OnOutput(), 50);
  }
  // After an executor gave up: Stop and Still, no cue bits.
  bool CueEndedPaused() {
    const Bytes s = Status();
    return s.size() == 9 && status::Stop.In(s.data()) && status::Still.In(s.data()) &&
           !status::CueUp_Complete.In(s.data()) && !status::Preroll.In(s.data()) &&
           !status::Shuttle.In(s.data());
  }
  int Reports(const char* tag, const std::string& text) { return log_.Count(tag, text); }
};

// --- Loading ---

TEST_F(FaultInjectionTest, SuperClipRefusedLeavesNoTapeAndTheNextLoadPlays) {
  StartDeck(/*load_tape=*/false);
  Faults().FailOnce(BoardCall::kGetSuperClip, E_OUTOFMEMORY);
  EXPECT_EQ(deck_->InsertTape(tape_), E_OUTOFMEMORY);
  EXPECT_EQ(Reports("Err LoadTape", " get_SuperClip() error 0x8007000E"), 1) << log_.Dump();
  EXPECT_EQ(player_->LastResult(), E_OUTOFMEMORY);
  ExpectPromptAnswer();
  EXPECT_TRUE(Has(status::Tape_OUT));
  EXPECT_EQ(Send(kPlay), kNakUndefined);

  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  EXPECT_FALSE(Has(status::Tape_OUT));
  ExpectPlayRuns();
}

TEST_F(FaultInjectionTest, MovieThatCannotBeOpenedLeavesNoTapeAndTheNextLoadPlays) {
  StartDeck(/*load_tape=*/false);
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  Faults().FailOnce(BoardCall::kOpenFile, denied);
  EXPECT_EQ(deck_->InsertTape(tape_), denied);
  char expected[100];
  std::snprintf(expected, sizeof expected, "ClvMovie->OpenFile(\"%s\") error 0x80070005",
                tape_.c_str());
  EXPECT_EQ(Reports("Err LoadTape", expected), 1) << log_.Dump();
  EXPECT_EQ(player_->LastResult(), denied);
  ExpectPromptAnswer();
  const Bytes s = Status();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_TRUE(status::Tape_OUT.In(s.data()));
  EXPECT_EQ(s[1], 0);  // no transport bits without a tape
  EXPECT_EQ(Send(kPlay), kNakUndefined);

  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  ExpectPlayRuns();
}

// --- The timeline's calls ---

TEST_F(FaultInjectionTest, FragmentRefusedDuringACueEndsItPausedAndTheNextCueCompletes) {
  StartDeck();
  Faults().FailOnce(BoardCall::kAddSuperClipFragment, E_FAIL);
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x02, 0x00, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] { return Faults().Fired(BoardCall::kAddSuperClipFragment) == 1; }));
  ASSERT_TRUE(WaitFor([&] { return CueEndedPaused(); })) << log_.Dump();
  EXPECT_EQ(Reports("Err add_TapeFrag", " AddSuperClipFragment() HRESULT 0x80004005!!!\n"), 1);
  EXPECT_EQ(player_->LastResult(), E_FAIL);
  ExpectPromptAnswer();
  ExpectCueCompletes();

  // The server's "parameter is incorrect" names the stretch.
  Faults().FailOnce(BoardCall::kAddSuperClipFragment, E_INVALIDARG);
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x04, 0x00, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] {
    return Reports("Err add_TapeFrag",
                   " AddSuperClipFragment() - The parameter is incorrect. fr1=100, fr2=299, "
                   "m_frame_last=299\n") == 1;
  })) << log_.Dump();
  ASSERT_TRUE(WaitFor([&] { return CueEndedPaused(); }));
  EXPECT_EQ(player_->LastResult(), E_INVALIDARG);
  ExpectPromptAnswer();
  ExpectPlayRuns();
}

TEST_F(FaultInjectionTest, StateChangeRefusedAtPlayKeepsPlayLitAndTheNextPlayRuns) {
  StartDeck();
  Faults().FailOnce(BoardCall::kPutState, E_FAIL);
  EXPECT_EQ(Send(kPlay), kAck);
  ASSERT_TRUE(WaitFor([&] {
    return Reports("Err put_State()", " m_TimeLine->put_State(4) returns 0x80004005\n") == 1;
  })) << log_.Dump();
  EXPECT_EQ(player_->LastResult(), E_FAIL);
  ExpectPromptAnswer();
  // The bits set for the command stay until the next one; nothing moves and nothing is locked.
  const Bytes s = Status();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_TRUE(status::Play.In(s.data()));
  EXPECT_FALSE(status::Servo_Lock.In(s.data()));
  Sleep(200);
  EXPECT_EQ(OnOutput(), 0);
  EXPECT_EQ(TimeSense(), 0);
  ExpectPlayRuns();
}

TEST_F(FaultInjectionTest, SinglePictureModeRefusedAtJogAndTheNextJogMoves) {
  StartDeck();
  Faults().FailOnce(BoardCall::kReset, E_FAIL);
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);  // jog forward at play speed
  ASSERT_TRUE(WaitFor([&] {
    return Reports("Err Play_Speed", " PLAY: Reset to AllImages HRESULT 0x80004005!!!\n") == 1;
  })) << log_.Dump();
  EXPECT_EQ(player_->LastResult(), E_FAIL);
  ExpectPromptAnswer();
  EXPECT_TRUE(Has(status::Jog));
  EXPECT_EQ(OnOutput(), 0);

  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);
  EXPECT_TRUE(WaitFor([&] { return OnOutput() >= 10; })) << log_.Dump();
  EXPECT_TRUE(Has(status::Jog));
}

TEST_F(FaultInjectionTest, RealTimeModeRefusedAtACueEndsItPausedAndTheNextCueCompletes) {
  StartDeck();
  Faults().FailOnce(BoardCall::kReset, E_OUTOFMEMORY);
  EXPECT_EQ(Send({0x24, 0x31, 0x00, 0x02, 0x00, 0x00}), kAck);
  ASSERT_TRUE(WaitFor([&] {
    return Reports("Err PlayProc", " Reset to Realtime HRESULT 0x8007000e!!!\n") == 1;
  })) << log_.Dump();
  ASSERT_TRUE(WaitFor([&] { return CueEndedPaused(); }));
  EXPECT_EQ(player_->LastResult(), E_OUTOFMEMORY);
  ExpectPromptAnswer();
  ExpectCueCompletes();
}

TEST_F(FaultInjectionTest, QueuedTimeThatCannotBeReadEndsPlayAndTheDeckRecovers) {
  StartDeck();
  Faults().FailAlways(BoardCall::kGetQueuedTime, E_FAIL);
  EXPECT_EQ(Send(kPlay), kAck);
  // A failing query ends play's wait at once; the deck pauses where the picture is.
  ASSERT_TRUE(WaitFor([&] {
    std::int32_t state = -1;
    return Faults().Fired(BoardCall::kGetQueuedTime) >= 2 &&
           board_->Timeline(0)->get_State(&state) == S_OK && state == ClvPlaybackPaused;
  })) << log_.Dump();
  ExpectPromptAnswer();
  // The controller's time sense goes on being answered while the position cannot be read.
  EXPECT_GE(TimeSense(), 0);
  EXPECT_FALSE(Has(status::Servo_Lock));

  Faults().Clear(BoardCall::kGetQueuedTime);
  EXPECT_EQ(Send(kStop), kAck);
  ASSERT_TRUE(WaitFor([&] { return Has(status::Stop) && Has(status::Still); }));
  ExpectPlayRuns();
}

TEST_F(FaultInjectionTest, QueuedTimeThatCannotBeReadDuringAJogQueuesNothingBlind) {
  StartDeck();
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);  // jog forward at play speed
  ASSERT_TRUE(WaitFor([&] { return Has(status::Jog) && OnOutput() > 3; })) << log_.Dump();
  Faults().FailAlways(BoardCall::kGetQueuedTime, E_FAIL);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ExpectPromptAnswer();
  EXPECT_EQ(player_->LastResult(), E_FAIL);
  Faults().Clear(BoardCall::kGetQueuedTime);
  // The pipeline never held more than its three pictures while the count could not be read.
  double queued = 0.0;
  ASSERT_EQ(board_->Timeline(0)->get_QueuedTime(&queued), S_OK);
  EXPECT_LE(queued, 3.5 / 25.0);
  // The jog goes on once the timeline answers again.
  const std::int64_t from = OnOutput();
  EXPECT_TRUE(WaitFor([&] { return OnOutput() >= from + 5; })) << log_.Dump();
}

TEST_F(FaultInjectionTest, NoTimelineMeansNoPlayerAndTheNextStartWorks) {
  Faults().FailOnce(BoardCall::kCreateAVTimeline, E_FAIL);
  EXPECT_EQ(deck_->CreatePlayer(), E_FAIL);
  EXPECT_EQ(Reports("Err Initialize", "\"ClvPlayServer\" CreateAVTimeline() error 0x80004005"), 1)
      << log_.Dump();
  ServeLine();
  ExpectPromptAnswer();
  const Bytes s = Status();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_EQ(s[0], status::kNoPlayerByte0);
  EXPECT_EQ(Send({0x00, 0x11}), kNakUndefined);  // no device type without a player
  EXPECT_EQ(Send(kPlay), kNakUndefined);

  ASSERT_EQ(deck_->CreatePlayer(), 0);
  EXPECT_EQ(Send({0x00, 0x11}), (Bytes{0x12, 0x11, 0x21, 0x50, 0x94}));
  ASSERT_EQ(deck_->InsertTape(tape_), 0);
  ExpectPlayRuns();
}

// --- The board stops on error ---

TEST_F(FaultInjectionTest, StopOnErrorDuringPlayIsReportedByStopAndPlayResetsTheTimeline) {
  StartDeck();
  ExpectPlayRuns();
  Faults().FailOnce(BoardCall::kStopOnError, E_FAIL);
  ASSERT_TRUE(WaitFor([&] {
    std::int32_t state = -1;
    return board_->Timeline(0)->get_State(&state) == S_OK && state == ClvPlaybackStopOnError;
  }));
  ExpectPromptAnswer();
  const std::int64_t frozen = TimeSense();
  Sleep(200);
  EXPECT_EQ(TimeSense(), frozen);

  EXPECT_EQ(Send(kStop), kAck);
  ASSERT_TRUE(WaitFor([&] { return Reports("Err Clvr_PAUSE", "ClvPlaybackStopOnError\n") == 1; }))
      << log_.Dump();
  // The pause failed: Stop without Still, and no motion bits.
  const Bytes s = Status();
  ASSERT_EQ(s.size(), 9u);
  EXPECT_TRUE(status::Stop.In(s.data()));
  EXPECT_FALSE(status::Still.In(s.data()));
  EXPECT_FALSE(status::Play.In(s.data()));

  // Play leaves the error by resetting the timeline, and plays on from the frozen picture.
  EXPECT_EQ(Send(kPlay), kAck);
  EXPECT_TRUE(WaitFor([&] { return TimeSense() >= frozen + 10; })) << log_.Dump();
  EXPECT_GE(OnOutput(), frozen);
}

TEST_F(FaultInjectionTest, StopOnErrorDuringAJogIsLeftByTheNextJog) {
  StartDeck();
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);
  ASSERT_TRUE(WaitFor([&] { return OnOutput() >= 10; }));
  Faults().FailOnce(BoardCall::kStopOnError, E_FAIL);
  ASSERT_TRUE(WaitFor([&] {
    std::int32_t state = -1;
    return board_->Timeline(0)->get_State(&state) == S_OK && state == ClvPlaybackStopOnError;
  }));
  ExpectPromptAnswer();
  const std::int64_t frozen = OnOutput();
  EXPECT_EQ(Send(kStop), kAck);
  ASSERT_TRUE(WaitFor([&] { return Reports("Err Clvr_PAUSE", "ClvPlaybackStopOnError\n") == 1; }));
  EXPECT_EQ(Send({0x21, 0x11, 0x40}), kAck);
  EXPECT_TRUE(WaitFor([&] { return OnOutput() >= frozen + 10; })) << log_.Dump();
  EXPECT_TRUE(Has(status::Jog));
}

// --- A call that keeps failing for a whole session ---

class FailingAlwaysTest : public FaultInjectionTest,
                          public ::testing::WithParamInterface<BoardCall> {};

TEST_P(FailingAlwaysTest, EveryFrameIsAnsweredAtOnceAndTheDeckRecoversWhenTheFaultEnds) {
  StartDeck();
  Faults().FailAlways(GetParam(), E_FAIL);
  const Bytes session[] = {
      kPlay,
      {0x61, 0x0C, 0x01},
      {0x21, 0x11, 0x20},  // jog forward at half speed
      {0x61, 0x20, 0x09},
      {0x21, 0x23, 0x49},  // shuttle back
      {0x24, 0x31, 0x00, 0x03, 0x00, 0x00},
      {0x61, 0x0C, 0x01},
      {0x20, 0x10},  // fast wind
      {0x20, 0x20},  // rewind
      kStop,
      {0x00, 0x11},
      {0x20, 0x0F},  // eject
      kPlay,
      {0x61, 0x20, 0x09},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Bytes& frame : session) {
      double ms = 0.0;
      const Bytes reply = SendTimed(frame, &ms);
      ASSERT_GE(reply.size(), 3u) << "no reply to frame " << std::hex << int(frame[0]) << " "
                                  << int(frame[1]);
      EXPECT_EQ(reply.size(), static_cast<std::size_t>((reply[0] & 0x0F) + 3));
      EXPECT_EQ(reply.back(), static_cast<std::uint8_t>(
                                  Checksum(reply.data(), static_cast<int>(reply.size()) - 1)));
      EXPECT_LT(ms, kPromptReplyMs);
      Sleep(60);
    }
    EXPECT_TRUE(pty_.Drain(50).empty());  // never more than one reply per frame
  }
  EXPECT_TRUE(player_->IsThreadRunning());

  Faults().ClearAll();
  // The eject is seen through the deck's own status copy (under the player's status lock), not
  // only over the line, so that the load below follows it in every sense.
  ASSERT_TRUE(WaitFor([&] {
    std::uint8_t block[16] = {};
    deck_->RefreshStatus(16, block, nullptr);
    return status::Tape_OUT.In(block);
  })) << log_.Dump();
  ASSERT_EQ(deck_->InsertTape(tape_), 0) << log_.Dump();
  ExpectPlayRuns();
}

INSTANTIATE_TEST_SUITE_P(EachCall, FailingAlwaysTest,
                         ::testing::Values(BoardCall::kGetSuperClip, BoardCall::kOpenFile,
                                           BoardCall::kAddSuperClipFragment, BoardCall::kPutState,
                                           BoardCall::kReset, BoardCall::kGetQueuedTime,
                                           BoardCall::kCreateAVTimeline, BoardCall::kStopOnError),
                         [](const ::testing::TestParamInfo<BoardCall>& info) {
                           return std::string(CFaultInjector::Name(info.param));
                         });

}  // namespace
}  // namespace vxr
