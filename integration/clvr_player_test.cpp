#include "player/clvr_player.h"

#include "integration/player_test_fixture.h"

namespace vxr::testing {
namespace {

// --- Construction and start-up ---

TEST_F(PlayerTest, PalBoardGivesRate25AndItsWaits) {
  StartBoard("pal");
  StartPlayer();
  std::uint8_t first = 0, second = 0;
  player_->GetDeviceType(&first, &second);
  EXPECT_EQ(first, 0x21);
  EXPECT_EQ(second, 0x50);
  EXPECT_EQ(TimecodeRate.load(), 25);
  EXPECT_EQ(player_->QuarterFrameWait(), 10);
  EXPECT_EQ(player_->HalfFrameWait(), 20);
  EXPECT_EQ(player_->ThreeQuarterFrameWait(), 30);
  EXPECT_EQ(player_->BoardIndex(), 0);
}

TEST_F(PlayerTest, NtscBoardGivesRate30AndItsWaits) {
  StartBoard("ntsc");
  StartPlayer();
  std::uint8_t first = 0, second = 0;
  player_->GetDeviceType(&first, &second);
  EXPECT_EQ(first, 0x20);
  EXPECT_EQ(second, 0x50);
  EXPECT_EQ(TimecodeRate.load(), 30);
  EXPECT_EQ(player_->QuarterFrameWait(), 8);
  EXPECT_EQ(player_->HalfFrameWait(), 17);
  EXPECT_EQ(player_->ThreeQuarterFrameWait(), 25);
}

TEST_F(PlayerTest, TwoBoardsDriveTheSecond) {
  StartBoard("pal", 2);
  StartPlayer();
  EXPECT_EQ(player_->BoardIndex(), 1);
  EXPECT_TRUE(board_->Timeline(1) != nullptr);
}

TEST_F(PlayerTest, NoBoardIsReported) {
  StartBoard("pal", 0);
  CClvrPlayer player;
  EXPECT_EQ(static_cast<std::uint32_t>(player.Initialize()), 0x800704B0u);
  EXPECT_EQ(log_.Count("Err Initialize",
                       "CALVERA hardware board is not present?\n\"ClvPlayServer\" "
                       "get_BoardsNumber() return 0"),
            1);
  EXPECT_FALSE(player.IsThreadRunning());
}

TEST_F(PlayerTest, UnregisteredServerIsReported) {
  UnregisterServerClasses();
  CClvrPlayer player;
  EXPECT_EQ(player.Initialize(), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(log_.Count("Err Initialize", "\"ClvPlayServer\" class is not in registration database"),
            1);
}

TEST_F(PlayerTest, PlayerWithoutThreadQueuesNothingAndGoesQuietly) {
  StartBoard();
  auto player = std::make_unique<CClvrPlayer>();
  CClvrPlayer::Command quit;
  quit.code = CClvrPlayer::kQuit;
  EXPECT_EQ(player->CMD_set(quit), 0);
  EXPECT_EQ(player->TapeOutState(), 1);
  // Eject before the thread runs ejects at once on the caller's thread; with no timeline
  // nothing fails and nothing is reported.
  EXPECT_EQ(player->Eject(), 0);
  EXPECT_EQ(player->LastResult(), 0);
  EXPECT_FALSE(log_.HasTag("Err Clvr_PAUSE")) << log_.Dump();
  EXPECT_FALSE(log_.HasTag("Err PlayProc")) << log_.Dump();
  player.reset();
  EXPECT_FALSE(log_.HasTag("Err ~CClvrPlayer"));
}

// A player whose thread starts only after Initialize has stopped waiting for it.
class LateStartingPlayer : public CClvrPlayer {
 public:
  explicit LateStartingPlayer(int delay_ms) {
    SetThreadStartHook(
        [delay_ms] { std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms)); });
  }
};

TEST_F(PlayerTest, DestroyingAPlayerWhoseThreadHasNotStartedEndsIt) {
  StartBoard();
  // Initialize waits a second for the thread; it starts half a second after that.
  auto* player = new LateStartingPlayer(1500);
  ASSERT_EQ(player->Initialize(), 0);
  ASSERT_FALSE(player->IsThreadRunning());
  auto gone = std::make_shared<std::atomic<bool>>(false);
  std::thread destroyer([player, gone] {
    delete player;
    gone->store(true);
  });
  if (!WaitFor([&] { return gone->load(); }, 10000)) {
    destroyer.detach();  // it hangs for good; leave it
    FAIL() << "the destructor hangs";
  }
  destroyer.join();
}

TEST_F(PlayerTest, ShutdownEndsTheThreadBeforeTheServerGoes) {
  StartBoard();
  StartPlayer();
  LoadTape(100);
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Play) && Bit(status::Servo_Lock); }));
  player_.reset();  // quit while playing; the thread must be gone now
  EXPECT_FALSE(log_.HasTag("Err ~CClvrPlayer")) << log_.Dump();
}

// --- Status block ---

TEST_F(PlayerTest, ReadStatusRangeRules) {
  StartBoard();
  StartPlayer();
  std::uint8_t buffer[18];
  std::fill(std::begin(buffer), std::end(buffer), 0xA5);
  EXPECT_EQ(player_->ReadStatus(buffer, 15, 1), 1);
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_EQ(buffer[1], 0xA5);
  std::fill(std::begin(buffer), std::end(buffer), 0xA5);
  EXPECT_EQ(player_->ReadStatus(buffer, 15, 2), 0);
  EXPECT_EQ(player_->ReadStatus(buffer, 16, 1), 0);
  EXPECT_EQ(player_->ReadStatus(buffer, 10, 7), 0);
  EXPECT_EQ(player_->ReadStatus(buffer, 0, 0), 0);
  EXPECT_EQ(player_->ReadStatus(buffer, 2, 0xFFFFFFFFu), 0);  // 2 + count - 1 wraps to 0
  EXPECT_EQ(player_->ReadStatus(buffer, 0xFFFFFFFFu, 2), 0);
  for (std::uint8_t b : buffer) EXPECT_EQ(b, 0xA5);
  EXPECT_EQ(player_->ReadStatus(buffer, 0, 16), 1);
  EXPECT_EQ(buffer[0], 0x20);
}

TEST_F(PlayerTest, SetLocalChangesOnlyLocalAndReturnsTheOldWord) {
  StartBoard();
  StartPlayer();
  EXPECT_EQ(player_->SetLocal(5), 0x00000020u);
  EXPECT_EQ(Status()[0], 0x21);
  EXPECT_EQ(player_->SetLocal(0), 0x00000021u);
  EXPECT_EQ(Status()[0], 0x20);
}

TEST_F(PlayerTest, TransportOperationsWithoutTapeQueueNothing) {
  StartBoard();
  StartPlayer();
  const auto before = Status();
  // Refused at the mailbox: nothing reaches the thread.
  for (std::int32_t code : {CClvrPlayer::kPlay, CClvrPlayer::kJog, CClvrPlayer::kCueUp,
                            CClvrPlayer::kEject, CClvrPlayer::kStop}) {
    CClvrPlayer::Command command;
    command.code = code;
    EXPECT_EQ(player_->CMD_set(command), 0) << code;
  }
  EXPECT_EQ(player_->Play(), 0);
  EXPECT_EQ(player_->Jog(1.0), 0);
  EXPECT_EQ(player_->CueUp(TimecodeOf(10)), 0);
  EXPECT_EQ(Status(), before);
}

// --- Mailbox ---

TEST_F(PlayerTest, PlayIsRefusedWithoutTapeWhileQuitIsTaken) {
  StartBoard();
  StartPlayer();
  CClvrPlayer::Command play;
  play.code = CClvrPlayer::kPlay;
  EXPECT_EQ(player_->CMD_set(play), 0);
  CClvrPlayer::Command quit;
  quit.code = CClvrPlayer::kQuit;
  EXPECT_EQ(player_->CMD_set(quit), 1);
  EXPECT_TRUE(WaitFor([&] { return !player_->IsThreadRunning(); }));
}

TEST_F(PlayerTest, OnlyTheNewestOfWaitingCommandsRuns) {
  StartBoard();
  auto* player = StartPlayer<GatedPlayer>();
  LoadTape(200);
  player->HoldThread();
  player->Jog(0.5);
  player->Shuttle(1.0);
  player->Stop();
  player->ReleaseThread();
  ASSERT_TRUE(WaitFor([&] { return log_.Count("Err CMD_get", "2 commands ignored\n") == 1; }))
      << log_.Dump();
  // The stop ran, not the jog or the shuttle.
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  EXPECT_FALSE(Bit(status::Jog));
  EXPECT_FALSE(Bit(status::Shuttle));
}

TEST_F(PlayerTest, AFullMailboxKeepsTheNewest) {
  StartBoard();
  auto* player = StartPlayer<GatedPlayer>();
  LoadTape(200);
  player->HoldThread();
  for (int i = 0; i < 5; ++i) player->Jog(0.25 * (i + 1));
  player->Play();  // the sixth replaces the fifth
  EXPECT_EQ(log_.Count("Err CMD_set", "Too many commands, some are ignored\n"), 1);
  player->ReleaseThread();
  ASSERT_TRUE(WaitFor([&] { return log_.Count("Err CMD_get", "4 commands ignored\n") == 1; }))
      << log_.Dump();
  EXPECT_TRUE(WaitFor([&] { return Bit(status::Play); }));
  EXPECT_FALSE(Bit(status::Jog));
}

TEST_F(PlayerTest, NothingRunsOnceAnEjectIsTakenAndALoadStartsStill) {
  StartBoard();
  auto* player = StartPlayer<GatedPlayer>();
  LoadTape(200);
  player->CueUp(TimecodeOf(100));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); }));
  player->Jog(-1.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Jog) && FrameOnOutput() <= 97; })) << log_.Dump();
  player->HoldThread();
  player->Eject();
  CClvrPlayer::Command play;
  play.code = CClvrPlayer::kPlay;
  EXPECT_EQ(player->CMD_set(play), 0);
  player->Jog(1.0);
  player->Shuttle(2.0);
  player->ReleaseThread();
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Tape_OUT); })) << log_.Dump();
  const auto out = Status();
  EXPECT_EQ(out[1], 0x00);
  EXPECT_FALSE(status::Jog.In(out.data()));
  EXPECT_FALSE(status::Shuttle.In(out.data()));
  // The next tape starts stopped on a still picture, without the old tape's Reverse.
  ASSERT_EQ(player->InsertTape(MakeTape("next.avi", 50)), 0) << log_.Dump();
  const auto in = Status();
  EXPECT_EQ(in[1], 0xA0);  // Stop, Standby
  EXPECT_EQ(in[2], 0x02);  // Still
  player->Play();
  EXPECT_TRUE(WaitFor([&] { return Bit(status::Play); }));
}

TEST_F(PlayerTest, ANewCommandEndsAWaitAtOnce) {
  StartBoard();
  auto* player = StartPlayer<GatedPlayer>();
  LoadTape(50);
  player->HoldThread();
  std::thread sender([&] {
    Sleep(50);
    player->Stop();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(player->CMD_was_set(10000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  sender.join();
  player->ReleaseThread();
}

TEST_F(PlayerTest, UnknownCodesAreReportedAndTheThreadGoesOn) {
  StartBoard();
  StartPlayer();
  LoadTape(50);
  CClvrPlayer::Command command;
  command.code = 0;
  ASSERT_EQ(player_->CMD_set(command), 1);
  ASSERT_TRUE(WaitFor([&] { return log_.Count("Err CClvrPlayer Proc", " Unknown CMD 0\n") == 1; }));
  player_->VariableSpeed(2.0);
  ASSERT_TRUE(WaitFor([&] { return log_.Count("Err CClvrPlayer Proc", " Unknown CMD 9\n") == 1; }));
  player_->Play();
  EXPECT_TRUE(WaitFor([&] { return Bit(status::Play); }));
}

TEST_F(PlayerTest, LongReportsAreCutTo99Characters) {
  StartBoard();
  CClvrPlayer player;
  std::string seen;
  auto previous = SetDiagnosticSink([&](std::string_view, std::string_view text) { seen = text; });
  player.DebugReport("Info Test", "%s", std::string(150, 'x').c_str());
  SetDiagnosticSink(previous);
  EXPECT_EQ(seen, std::string(99, 'x'));
}

// --- Transport state machine ---

TEST_F(PlayerTest, ALoadedTapeStandsStillOnFrameZero) {
  StartBoard();
  StartPlayer();
  LoadTape(50);
  const auto s = Status();
  EXPECT_EQ(s[0], 0x00);
  EXPECT_EQ(s[1], 0xA0);  // Stop, Standby
  EXPECT_EQ(s[2], 0x02);  // Still
  EXPECT_EQ(s[8], 0x01);  // Rec_Inhibit
  EXPECT_EQ(player_->FrameLast(), 49u);
  EXPECT_TRUE(WaitFor([&] { return FrameOnOutput() == 0; }));
  EXPECT_FALSE(log_.HasTag("Err put_State()")) << log_.Dump();
}

TEST_F(PlayerTest, PlayRunsToTheEndOfTheTape) {
  StartBoard();
  StartPlayer();
  LoadTape(30);
  // The loaded tape's first picture is on the output before play starts.
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<OutputFrame> record = RecordSince(0);
    return !record.empty() && record.back().tape_frame == 0;
  }));
  const std::size_t mark = RecordSize();
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Play); }));
  EXPECT_TRUE(Bit(status::Servo_Lock));
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }, 10000)) << log_.Dump();
  EXPECT_EQ(player_->CurrentFrame(), 29u);
  EXPECT_EQ(FrameOnOutput(), 29);
  EXPECT_FALSE(Bit(status::Servo_Lock));
  Timecode tc;
  player_->GetCurrentTime(&tc, nullptr);
  EXPECT_EQ(tc.ToFrames(25), 29u);
  EXPECT_TRUE(Bit(status::End_Of_Tape));
  // The output showed every frame once, in order (the still frame 0 may show longer).
  std::int64_t expected = 0;
  for (const OutputFrame& frame : RecordSince(mark)) {
    if (frame.tape_frame == expected) continue;
    ASSERT_EQ(frame.tape_frame, expected + 1) << "tick " << frame.tick;
    expected = frame.tape_frame;
  }
  EXPECT_EQ(expected, 29);
}

TEST_F(PlayerTest, StopDuringPlayPausesOnThePictureShown) {
  StartBoard();
  StartPlayer();
  LoadTape(250);
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 10; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  const std::int64_t frozen = FrameOnOutput();
  EXPECT_EQ(player_->CurrentFrame(), static_cast<std::uint32_t>(frozen));
  for (const OutputFrame& frame : NextTicks(4)) EXPECT_EQ(frame.tape_frame, frozen);
  Timecode tc;
  player_->GetCurrentTime(&tc, nullptr);
  EXPECT_EQ(tc.ToFrames(25), static_cast<std::uint32_t>(frozen));
  EXPECT_FALSE(Bit(status::End_Of_Tape));
  // Play goes on from there.
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() > frozen + 2; }));
}

TEST_F(PlayerTest, CueFindsTheFrameAndPauses) {
  StartBoard();
  StartPlayer();
  LoadTape(250);
  player_->CueUp(TimecodeOf(120));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); })) << log_.Dump();
  EXPECT_TRUE(StoppedOnAPicture());
  EXPECT_FALSE(Bit(status::Preroll));
  EXPECT_FALSE(Bit(status::Reverse));
  EXPECT_EQ(player_->CurrentFrame(), 120u);
  EXPECT_TRUE(WaitFor([&] { return FrameOnOutput() == 120; }));
  // Cue back: Reverse while it runs, and the picture follows.
  player_->CueUp(TimecodeOf(7));
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() == 7 && Bit(status::CueUp_Complete); }));
  EXPECT_EQ(player_->CurrentFrame(), 7u);
}

TEST_F(PlayerTest, CueToTheCurrentFrameCompletesAtOnceAndQueuesNothing) {
  StartBoard();
  StartPlayer();
  LoadTape(100);
  double before = 0.0;
  board_->Timeline(0)->get_QueuedTime(&before);
  player_->CueUp(TimecodeOf(0));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); }));
  double after = 0.0;
  board_->Timeline(0)->get_QueuedTime(&after);
  EXPECT_DOUBLE_EQ(after, before);
  EXPECT_EQ(FrameOnOutput(), 0);
  EXPECT_FALSE(log_.HasTag("Err add_TapeFrag"));
}

TEST_F(PlayerTest, CueBeyondTheEndPausesOnTheLastFrame) {
  StartBoard();
  StartPlayer();
  LoadTape(40);
  player_->CueUp(TimecodeOf(75));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); })) << log_.Dump();
  EXPECT_EQ(log_.Count("Err add_TapeFrag",
                       " Forced fr1=m_frame_last (fr1=75, fr2=39, m_frame_last=39)\n"),
            1)
      << log_.Dump();
  EXPECT_EQ(player_->CurrentFrame(), 39u);
  EXPECT_TRUE(WaitFor([&] { return FrameOnOutput() == 39; }));
  player_->GetCurrentTime(nullptr, nullptr);
  EXPECT_TRUE(Bit(status::End_Of_Tape));
}

TEST_F(PlayerTest, GetCurrentTimeGivesTheUserBitsAndEndOfTape) {
  StartBoard();
  StartPlayer();
  LoadTape(60);
  std::uint8_t bits[4] = {};
  Timecode tc{0xC0u};
  EXPECT_EQ(player_->GetCurrentTime(&tc, bits), 0);
  EXPECT_EQ(bits[0], 0x11);
  EXPECT_EQ(bits[3], 0x44);
  EXPECT_EQ(tc.value, 0xC0u);             // frame 0, the flag bits kept
  EXPECT_TRUE(Bit(status::End_Of_Tape));  // frame 0 is an end of the tape
  player_->CueUp(TimecodeOf(30));
  ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); }));
  player_->GetCurrentTime(nullptr, nullptr);
  EXPECT_FALSE(Bit(status::End_Of_Tape));
}

TEST_F(PlayerTest, CueUpConvertsAtBothTimecodeRates) {
  for (const char* format : {"pal", "ntsc"}) {
    StartBoard(format);
    StartPlayer();
    const std::uint32_t frames = 400;
    ASSERT_EQ(player_->InsertTape(MakeTape(std::string(format) + ".avi", frames)), 0);
    Timecode tc;
    tc.FromFrames(333, static_cast<std::uint32_t>(TimecodeRate.load()));
    player_->CueUp(tc);
    ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete); })) << format;
    Timecode now;
    player_->GetCurrentTime(&now, nullptr);
    EXPECT_EQ(now.value, tc.value) << format;
    TearDown();
  }
}

TEST_F(PlayerTest, StopOnErrorIsReportedByStopAndLeftByPlay) {
  StartBoard();
  StartPlayer();
  LoadTape(50);
  ASSERT_TRUE(board_->InjectStopOnError(0));
  player_->Stop();
  ASSERT_TRUE(
      WaitFor([&] { return log_.Count("Err Clvr_PAUSE", "ClvPlaybackStopOnError\n") == 1; }));
  EXPECT_TRUE(Bit(status::Stop));
  EXPECT_FALSE(Bit(status::Still));
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 3; })) << log_.Dump();
}

}  // namespace
}  // namespace vxr::testing
