#include "integration/player_test_fixture.h"

namespace vxr::testing {
namespace {

// The distinct pictures of the record in order, with how many ticks each stayed on.
std::vector<std::pair<std::int64_t, int>> Runs(const std::vector<OutputFrame>& record) {
  std::vector<std::pair<std::int64_t, int>> runs;
  for (const OutputFrame& frame : record) {
    if (!runs.empty() && runs.back().first == frame.tape_frame) {
      ++runs.back().second;
    } else {
      runs.emplace_back(frame.tape_frame, 1);
    }
  }
  return runs;
}

const char* FaultName(BoardCall call) { return CFaultInjector::Name(call); }

// The board's timeline with HoldLastFrame failing on demand (the board itself never fails it).
class HoldFailingTimeline : public IClvTimeline {
 public:
  HoldFailingTimeline(std::shared_ptr<IClvTimeline> inner, std::shared_ptr<std::atomic<bool>> fail)
      : inner_(std::move(inner)), fail_(std::move(fail)) {}
  HRESULT get_State(std::int32_t* state) override { return inner_->get_State(state); }
  HRESULT put_State(std::int32_t state) override { return inner_->put_State(state); }
  HRESULT AddSuperClipFragment(const std::shared_ptr<IClvSuperClip>& clip, double start,
                               double length) override {
    return inner_->AddSuperClipFragment(clip, start, length);
  }
  HRESULT Reset(std::int32_t mode) override { return inner_->Reset(mode); }
  HRESULT get_Mode(std::int32_t* mode) override { return inner_->get_Mode(mode); }
  HRESULT get_QueuedTime(double* seconds) override { return inner_->get_QueuedTime(seconds); }
  HRESULT HoldLastFrame(double seconds) override {
    return fail_->load() ? E_FAIL : inner_->HoldLastFrame(seconds);
  }
  HRESULT SetSourceRect(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) override {
    return inner_->SetSourceRect(x, y, w, h);
  }

 private:
  std::shared_ptr<IClvTimeline> inner_;
  std::shared_ptr<std::atomic<bool>> fail_;
};

// The board's play server, handing out that timeline.
class HoldFailingServer : public IClvPlayServer {
 public:
  HoldFailingServer(std::shared_ptr<IClvPlayServer> inner, std::shared_ptr<std::atomic<bool>> fail)
      : inner_(std::move(inner)), fail_(std::move(fail)) {}
  HRESULT get_BoardsNumber(std::int32_t* count) override { return inner_->get_BoardsNumber(count); }
  HRESULT GetOutputFormat(std::int32_t b, std::int32_t* w, std::int32_t* h, double* r) override {
    return inner_->GetOutputFormat(b, w, h, r);
  }
  HRESULT CreateAVTimeline(std::int32_t b, std::uint32_t v, std::uint32_t a, std::uint32_t d,
                           std::uint32_t f, std::shared_ptr<IClvTimeline>* timeline) override {
    const HRESULT hr = inner_->CreateAVTimeline(b, v, a, d, f, timeline);
    if (SUCCEEDED(hr)) *timeline = std::make_shared<HoldFailingTimeline>(*timeline, fail_);
    return hr;
  }
  HRESULT get_SuperClip(std::uint32_t k, std::uint32_t o,
                        std::shared_ptr<IClvSuperClip>* clip) override {
    return inner_->get_SuperClip(k, o, clip);
  }
  HRESULT AcquireResource(std::int32_t b, std::int32_t id) override {
    return inner_->AcquireResource(b, id);
  }
  HRESULT ReleaseResource(std::int32_t b, std::int32_t id) override {
    return inner_->ReleaseResource(b, id);
  }
  HRESULT GetBoardProperty(std::int32_t b, std::int32_t id, std::int32_t* v) override {
    return inner_->GetBoardProperty(b, id, v);
  }
  HRESULT SetBoardProperty(std::int32_t b, std::int32_t id, std::int32_t v) override {
    return inner_->SetBoardProperty(b, id, v);
  }
  HRESULT SetBoardRect(std::int32_t b, std::int32_t x, std::int32_t y, std::int32_t w,
                       std::int32_t h) override {
    return inner_->SetBoardRect(b, x, y, w, h);
  }
  HRESULT SetBoardOption(std::int32_t b, std::int32_t o, std::int32_t v) override {
    return inner_->SetBoardOption(b, o, v);
  }
  HRESULT FreeResources(std::int32_t b) override { return inner_->FreeResources(b); }

 private:
  std::shared_ptr<IClvPlayServer> inner_;
  std::shared_ptr<std::atomic<bool>> fail_;
};

class SpeedPlayTest : public PlayerTest {
 protected:
  void SetUp() override {
    StartBoard();
    StartPlayer();
  }
  void CueTo(std::uint32_t frame) {
    player_->CueUp(TimecodeOf(frame));
    ASSERT_TRUE(WaitFor([&] { return Bit(status::CueUp_Complete) && FrameOnOutput() == frame; }))
        << log_.Dump();
  }
  // Waits until the output has moved on from `from`, then records `ticks` ticks.
  std::vector<OutputFrame> RecordTicks(std::int64_t from, int ticks) {
    EXPECT_TRUE(WaitFor([&] { return FrameOnOutput() != from; })) << log_.Dump();
    const std::size_t mark = RecordSize();
    EXPECT_TRUE(WaitFor([&] { return RecordSize() >= mark + static_cast<std::size_t>(ticks); }));
    auto record = RecordSince(mark);
    record.resize(static_cast<std::size_t>(ticks));
    return record;
  }
};

TEST_F(SpeedPlayTest, JogAtPlaySpeedShowsOneFramePerOutputFrame) {
  LoadTape(300);
  CueTo(100);
  const std::size_t start = RecordSize();
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Jog); }));
  const auto record = RecordTicks(100, 25);
  // One picture per tick; a late wake-up on a loaded machine may repeat or skip one.
  int steps_of_one = 0;
  for (std::size_t i = 1; i < record.size(); ++i) {
    const std::int64_t step = record[i].tape_frame - record[i - 1].tape_frame;
    EXPECT_GE(step, 0);
    EXPECT_LE(step, 2);
    steps_of_one += step == 1 ? 1 : 0;
  }
  EXPECT_GE(steps_of_one, 20);
  // It started where the tape stood and went on with the next frame: the clock starts when the
  // picture starts to play, so the board's preparation is not made up by skipping frames.
  const auto all = RecordSince(start);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().tape_frame, 100);
  for (const auto& frame : all) {
    if (frame.tape_frame == 100) continue;
    EXPECT_EQ(frame.tape_frame, 101) << "the first new picture";
    break;
  }
  EXPECT_FALSE(Bit(status::Still));
  EXPECT_FALSE(Bit(status::Reverse));
}

TEST_F(SpeedPlayTest, JogAtHalfSpeedShowsEachFrameTwice) {
  LoadTape(300);
  CueTo(50);
  player_->Jog(0.5);
  const auto runs = Runs(RecordTicks(50, 40));
  ASSERT_GE(runs.size(), 3u);
  int runs_of_two = 0;
  // The first and last runs are cut by the window.
  for (std::size_t i = 1; i + 1 < runs.size(); ++i) {
    EXPECT_EQ(runs[i].first, runs[i - 1].first + 1);
    runs_of_two += runs[i].second == 2 ? 1 : 0;
  }
  EXPECT_GE(runs_of_two, static_cast<int>(runs.size()) - 4);
}

TEST_F(SpeedPlayTest, JogAtZeroWhilePlayingPausesOnTheCurrentFrame) {
  LoadTape(300);
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 10; }));
  player_->Jog(0.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Jog) && Bit(status::Still); }));
  const std::int64_t frozen = WaitForSteadyPicture();
  ASSERT_GE(frozen, 10);
  for (const OutputFrame& frame : NextTicks(5)) EXPECT_EQ(frame.tape_frame, frozen);
  EXPECT_EQ(player_->CurrentFrame(), static_cast<std::uint32_t>(frozen));
  // The command does not complete: no Stop.
  EXPECT_FALSE(Bit(status::Stop));
}

TEST_F(SpeedPlayTest, ReverseShuttleStopsAtTheStartAndCompletes) {
  LoadTape(200);
  CueTo(30);
  player_->Shuttle(-2.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Shuttle) && Bit(status::Reverse); }));
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }, 10000)) << log_.Dump();
  EXPECT_FALSE(Bit(status::Reverse));
  EXPECT_EQ(player_->CurrentFrame(), 0u);
  EXPECT_EQ(FrameOnOutput(), 0);
  EXPECT_EQ(player_->Speed(), 0.0);
}

TEST_F(SpeedPlayTest, FastWindReachesTheEndAndCompletes) {
  LoadTape(400);
  player_->FastFwd();
  // The loaded tape already stands still: wait for the wind to have moved and ended.
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture() && player_->CurrentFrame() == 399; }, 10000))
      << log_.Dump();
  EXPECT_FALSE(Bit(status::Fast_FWD));
  EXPECT_EQ(player_->CurrentFrame(), 399u);
  EXPECT_EQ(FrameOnOutput(), 399);
}

TEST_F(SpeedPlayTest, WindingFromAnEndCompletesAtOnce) {
  LoadTape(60);
  player_->Rewind();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture() && !Bit(status::Rewind); })) << log_.Dump();
  EXPECT_FALSE(Bit(status::Reverse));
  EXPECT_EQ(player_->CurrentFrame(), 0u);
  CueTo(59);
  player_->FastFwd();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture() && !Bit(status::Fast_FWD); }));
  EXPECT_EQ(player_->CurrentFrame(), 59u);
}

TEST_F(SpeedPlayTest, ShuttleAtZeroWhileShuttlingHoldsThePicture) {
  LoadTape(300);
  CueTo(20);
  player_->Shuttle(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 25; }));
  player_->Shuttle(0.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Still); }));
  EXPECT_TRUE(Bit(status::Shuttle));
  const std::int64_t held = WaitForSteadyPicture();  // after the pictures already queued
  ASSERT_GE(held, 25);
  for (const OutputFrame& frame : NextTicks(10)) EXPECT_EQ(frame.tape_frame, held);
  EXPECT_FALSE(Bit(status::Stop));
}

TEST_F(SpeedPlayTest, ShuttleAtZeroFromStopPausesWithShuttleAndStill) {
  LoadTape(100);
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 5; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  player_->Shuttle(0.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Shuttle); }));
  EXPECT_TRUE(WaitFor([&] { return Bit(status::Still); }));
}

TEST_F(SpeedPlayTest, ASpeedChangeCountsFromItsOwnTimeStampWithoutAJump) {
  LoadTape(1000);
  CueTo(100);
  const std::size_t mark = RecordSize();
  player_->Shuttle(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 110; }));
  player_->Shuttle(3.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 160; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  const auto record = RecordSince(mark);
  for (std::size_t i = 1; i < record.size(); ++i) {
    const std::int64_t step = record[i].tape_frame - record[i - 1].tape_frame;
    EXPECT_GE(step, 0) << "tick " << record[i].tick;
    EXPECT_LE(step, 4) << "tick " << record[i].tick;  // three per tick, one of slack
  }
}

TEST_F(SpeedPlayTest, StopDuringJogReportsTheFrozenPicture) {
  LoadTape(400);
  CueTo(40);
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 60; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  const std::int64_t frozen = WaitForSteadyPicture();
  EXPECT_EQ(player_->CurrentFrame(), static_cast<std::uint32_t>(frozen));
  Timecode tc;
  player_->GetCurrentTime(&tc, nullptr);
  EXPECT_EQ(tc.ToFrames(25), static_cast<std::uint32_t>(frozen));
}

TEST_F(SpeedPlayTest, StopDuringShuttleReportsTheFrozenPicture) {
  LoadTape(800);
  CueTo(40);
  player_->Shuttle(3.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 100; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  EXPECT_EQ(player_->CurrentFrame(), static_cast<std::uint32_t>(WaitForSteadyPicture()));
}

TEST_F(SpeedPlayTest, PlayAfterAJogPlaysOnFromTheJogsFrame) {
  LoadTape(400);
  CueTo(10);
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 30; }));
  player_->Jog(0.0);
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Still); }));
  const std::int64_t jog_frame = WaitForSteadyPicture();
  ASSERT_GE(jog_frame, 30);
  const std::size_t mark = RecordSize();
  player_->Play();
  ASSERT_TRUE(WaitFor([&] { return Bit(status::Play) && FrameOnOutput() >= jog_frame + 5; }));
  const auto record = RecordSince(mark);
  for (const auto& frame : record) {
    EXPECT_GE(frame.tape_frame, jog_frame) << "tick " << frame.tick;
  }
  EXPECT_FALSE(log_.HasTag("Err Play_Speed")) << log_.Dump();
}

TEST_F(SpeedPlayTest, ASpeedCommandAfterAStoppedSpeedPlayStartsFromThePausedPicture) {
  LoadTape(400);
  CueTo(100);
  player_->Shuttle(2.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 120; }));
  player_->Stop();
  ASSERT_TRUE(WaitFor([&] { return StoppedOnAPicture(); }));
  const std::int64_t paused = WaitForSteadyPicture();
  NextTicks(10);  // the old speed play's clock runs on meanwhile
  const std::size_t mark = RecordSize();
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= paused + 3; }));
  for (const auto& frame : RecordSince(mark)) {
    EXPECT_LE(frame.tape_frame, paused + 12) << "the picture jumped at tick " << frame.tick;
    EXPECT_GE(frame.tape_frame, paused);
  }
}

// An entry into speed play that failed half-way (the timeline left empty in single-picture
// mode) does not stop the next speed command.
TEST_F(SpeedPlayTest, ASpeedCommandRecoversFromAFailedEntry) {
  LoadTape(300);
  std::uint32_t from = 50;
  for (BoardCall call : {BoardCall::kAddSuperClipFragment, BoardCall::kPutState}) {
    CueTo(from);
    board_->Faults().FailOnce(call, E_FAIL);
    player_->Jog(1.0);
    ASSERT_TRUE(WaitFor([&] { return board_->Faults().Fired(call) == 1; }));
    player_->Jog(0.5);
    ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= from + 3; }))
        << FaultName(call) << log_.Dump();
    EXPECT_EQ(log_.Count("Err Play_Speed", " Unexpected state 0.\n"), 0) << log_.Dump();
    from += 50;
  }
}

// A failing HoldLastFrame ends speed play with its report, like every failing timeline call.
TEST_F(PlayerTest, AFailingHoldEndsSpeedPlayWithAReport) {
  StartBoard();
  std::shared_ptr<IClvPlayServer> server;
  std::shared_ptr<IClvResourceHolder> holder;
  std::shared_ptr<IClvMovie> movie;
  ASSERT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
  ASSERT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &holder), S_OK);
  ASSERT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), S_OK);  // the one load below
  auto fail = std::make_shared<std::atomic<bool>>(false);
  ServerClasses classes;
  classes.play_server = [=] { return std::make_shared<HoldFailingServer>(server, fail); };
  classes.resource_holder = [=] { return holder; };
  classes.movie = [=] { return movie; };
  RegisterServerClasses(std::move(classes));
  StartPlayer();
  LoadTape(300);
  player_->Jog(0.5);  // every other picture is a hold
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 3; })) << log_.Dump();
  fail->store(true);
  ASSERT_TRUE(WaitFor([&] {
    return log_.Count("Err Play_Speed", " HoldLastFrame() HRESULT 0x80004005!!!\n") == 1;
  })) << log_.Dump();
  EXPECT_EQ(static_cast<std::uint32_t>(player_->LastResult()), 0x80004005u);
  EXPECT_TRUE(Bit(status::Jog));  // the command's bits stay until the next command
}

// What a jog wheel does to the picture, checked on the board's output record: slowing to 0.0
// holds on the last picture queued, a reversal turns round there, and no picture is ever shown
// behind one already shown in the direction of travel.
TEST_F(SpeedPlayTest, AWheelStopsAndTurnsWithoutThrowingThePictureBack) {
  LoadTape(2000);
  CueTo(100);
  auto steps_of = [](const std::vector<OutputFrame>& record) {
    std::vector<std::int64_t> steps;
    for (std::size_t i = 1; i < record.size(); ++i) {
      steps.push_back(record[i].tape_frame - record[i - 1].tape_frame);
    }
    return steps;
  };

  // Jog +1.0, then 0: forward only, then a steady hold, still there 10 ticks later.
  std::size_t mark = RecordSize();
  player_->Jog(1.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= 110; })) << log_.Dump();
  player_->Jog(0.0);
  const std::int64_t held = WaitForSteadyPicture();
  ASSERT_GE(held, 110);
  for (const OutputFrame& frame : NextTicks(10)) EXPECT_EQ(frame.tape_frame, held);
  for (std::int64_t step : steps_of(RecordSince(mark))) {
    EXPECT_GE(step, 0);
    EXPECT_LE(step, 2);
  }
  EXPECT_TRUE(Bit(status::Still));
  EXPECT_EQ(player_->CurrentFrame(), static_cast<std::uint32_t>(held));

  // Shuttle +10, then 0.
  mark = RecordSize();
  player_->Shuttle(10.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= held + 100; })) << log_.Dump();
  player_->Shuttle(0.0);
  const std::int64_t held_again = WaitForSteadyPicture();
  ASSERT_GE(held_again, held + 100);
  for (const OutputFrame& frame : NextTicks(10)) EXPECT_EQ(frame.tape_frame, held_again);
  for (std::int64_t step : steps_of(RecordSince(mark))) {
    EXPECT_GE(step, 0);
    EXPECT_LE(step, 14);  // ten a frame, a third more while catching up with the clock
  }

  // Jog +2.0, then -2.0: up to the turn, then down, two a frame at most.
  mark = RecordSize();
  player_->Jog(2.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() >= held_again + 20; }));
  const std::int64_t at_turn_command = FrameOnOutput();
  player_->Jog(-2.0);
  ASSERT_TRUE(WaitFor([&] { return FrameOnOutput() <= at_turn_command - 20; })) << log_.Dump();
  const auto steps = steps_of(RecordSince(mark));
  std::int64_t top = 0;
  for (const OutputFrame& frame : RecordSince(mark)) top = std::max(top, frame.tape_frame);
  // The turn comes after the pictures still queued: at most three more of two frames each,
  // and one the output was about to show.
  EXPECT_LE(top, at_turn_command + 2 * (CClvrPlayer::m_queue_sz + 1));
  bool turned = false;
  for (std::int64_t step : steps) {
    turned |= step < 0;
    if (turned) {
      EXPECT_LE(step, 0);
    } else {
      EXPECT_GE(step, 0);
    }
    EXPECT_LE(std::abs(step), 3);
  }
  EXPECT_TRUE(turned);
}

}  // namespace
}  // namespace vxr::testing
