#include "vboard/server/software_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "player/server_registry.h"
#include "testing/media/test_tapes.h"
#include "testing/wait_for.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

using namespace std::chrono_literals;

BoardConfig Config(const char* format, int count = 1) {
  BoardConfig config;
  EXPECT_TRUE(FindOutputFormat(format, &config.format));
  config.board_count = count;
  return config;
}

std::shared_ptr<IClvPlayServer> Server() {
  std::shared_ptr<IClvPlayServer> server;
  EXPECT_EQ(CreateInstance(CLSCTX_ALL, &server), S_OK);
  return server;
}

// Collects the output record.
class Recorder {
 public:
  explicit Recorder(CSoftwareBoard& board) : board_(board) {
    id_ = board.Subscribe([this](const OutputFrame& frame) {
      std::lock_guard lock(mutex_);
      frames_.push_back(frame);
    });
  }
  ~Recorder() { board_.Unsubscribe(id_); }
  std::vector<OutputFrame> Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  CSoftwareBoard& board_;
  int id_;
  std::mutex mutex_;  // guards frames_
  std::vector<OutputFrame> frames_;
};

// Waits (bounded) until the timeline leaves preparing.
void WaitReady(IClvTimeline& timeline) {
  constexpr int kPrepareMs = 30000;  // a few pictures decoded ahead on a loaded machine
  std::int32_t state = ClvPlaybackPreparing;
  testing::WaitFor(
      [&] {
        timeline.get_State(&state);
        return state != ClvPlaybackPreparing;
      },
      kPrepareMs, 5);
  ASSERT_EQ(state, ClvPlaybackStopped);
}

TEST(BoardConfig, EnvironmentValuesAndRefusals) {
  const auto from = [](std::map<std::string, std::string> env, std::string* errors) {
    std::ostringstream out;
    BoardConfig config = BoardConfigFromEnvironment(
        [&env](const char* name) -> const char* {
          const auto found = env.find(name);
          return found == env.end() ? nullptr : found->second.c_str();
        },
        out);
    *errors = out.str();
    return config;
  };
  std::string errors;
  BoardConfig config = from({}, &errors);
  EXPECT_EQ(config.board_count, 1);
  EXPECT_STREQ(config.format.name, "pal");
  EXPECT_TRUE(config.registered);
  EXPECT_TRUE(errors.empty());

  config = from({{"VXR_BOARD_COUNT", "2"},
                 {"VXR_BOARD_FORMAT", "NTSC"},
                 {"VXR_BOARD_REGISTERED", "0"},
                 {"VXR_BOARD_LOG", "/tmp/x.log"}},
                &errors);
  EXPECT_EQ(config.board_count, 2);
  EXPECT_EQ(config.format.height, 486);
  EXPECT_EQ(config.format.rate_num, 30000);
  EXPECT_FALSE(config.registered);
  EXPECT_EQ(config.log_path, "/tmp/x.log");
  EXPECT_TRUE(errors.empty());

  config = from(
      {{"VXR_BOARD_COUNT", "12"}, {"VXR_BOARD_FORMAT", "1080-50"}, {"VXR_BOARD_REGISTERED", "no"}},
      &errors);
  EXPECT_EQ(config.board_count, 1);
  EXPECT_STREQ(config.format.name, "pal");
  EXPECT_TRUE(config.registered);
  EXPECT_NE(errors.find("VXR_BOARD_COUNT=\"12\""), std::string::npos);
  EXPECT_NE(errors.find("VXR_BOARD_FORMAT=\"1080-50\""), std::string::npos);
  EXPECT_NE(errors.find("VXR_BOARD_REGISTERED=\"no\""), std::string::npos);
}

TEST(SoftwareBoard, RegistrationGivesTheConfiguredBoardsAndFormats) {
  const struct {
    const char* format;
    int count, width, height;
    double rate;
  } cases[] = {
      {"pal", 1, 720, 576, 25.0},       {"ntsc", 2, 720, 486, 30000.0 / 1001.0},
      {"1080-25", 1, 1920, 1080, 25.0}, {"1080-29.97", 1, 1920, 1080, 30000.0 / 1001.0},
      {"720-25", 1, 1280, 720, 25.0},   {"720-29.97", 3, 1280, 720, 30000.0 / 1001.0},
  };
  for (const auto& c : cases) {
    CSoftwareBoard board(Config(c.format, c.count), std::make_shared<CSteppedClock>());
    board.Register();
    auto server = Server();
    ASSERT_NE(server, nullptr);
    std::int32_t count = -1, width = 0, height = 0;
    double rate = 0;
    EXPECT_EQ(server->get_BoardsNumber(&count), S_OK);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(server->GetOutputFormat(count - 1, &width, &height, &rate), S_OK);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    EXPECT_EQ(rate, c.rate);  // exactly: the deck tests for 25.0
    EXPECT_EQ(server->GetOutputFormat(count, &width, &height, &rate), E_INVALIDARG);
    std::shared_ptr<IClvResourceHolder> holder;
    EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &holder), S_OK);
    std::shared_ptr<IClvMovie> movie;
    EXPECT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), S_OK);
  }
  // The last board unregistered itself on destruction.
  std::shared_ptr<IClvPlayServer> server;
  EXPECT_EQ(CreateInstance(CLSCTX_ALL, &server), REGDB_E_CLASSNOTREG);

  CSoftwareBoard none(Config("pal", 0));
  none.Register();
  std::int32_t count = -1;
  EXPECT_EQ(Server()->get_BoardsNumber(&count), S_OK);
  EXPECT_EQ(count, 0);
  std::shared_ptr<IClvTimeline> timeline;
  EXPECT_EQ(Server()->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &timeline),
            E_INVALIDARG);
}

TEST(SoftwareBoard, ResourcesAreKeptAsReadableBoardState) {
  CSoftwareBoard board(Config("pal", 2), std::make_shared<CSteppedClock>());
  board.Register();
  auto server = Server();
  std::int32_t value = -1;
  EXPECT_EQ(server->GetBoardProperty(1, kPropertyRouting, &value), S_OK);
  EXPECT_EQ(value, kRoutingStartValue);
  EXPECT_EQ(server->SetBoardRect(1, 0, 45, 720, 486), CLV_E_WRONG_STATE);  // window not held
  EXPECT_EQ(server->SetBoardOption(1, 3, 1), CLV_E_WRONG_STATE);
  for (std::int32_t id : {1, 2, 5, 4}) EXPECT_EQ(server->AcquireResource(1, id), S_OK);
  EXPECT_EQ(server->AcquireResource(1, 1), S_OK);  // held already
  EXPECT_EQ(server->SetBoardProperty(1, kPropertyRouting, value | 6), S_OK);
  EXPECT_EQ(server->SetBoardRect(1, 0, 45, 720, 486), S_OK);
  EXPECT_EQ(server->SetBoardOption(1, 1, 1), S_OK);
  EXPECT_EQ(server->SetBoardOption(1, 3, 2), S_OK);
  EXPECT_EQ(server->ReleaseResource(1, 4), S_OK);
  EXPECT_EQ(server->ReleaseResource(1, 4), S_OK);

  BoardResources state = board.Resources(1);
  EXPECT_EQ(state.acquired, (std::set<std::int32_t>{1, 2, 5}));
  EXPECT_EQ(state.properties[kPropertyRouting], 7);
  EXPECT_EQ(state.rect, (BoardResources::Rect{0, 45, 720, 486}));
  EXPECT_EQ(state.options[1], 1);
  EXPECT_EQ(state.options[3], 2);
  EXPECT_TRUE(board.Resources(0).acquired.empty());  // the other board is untouched

  EXPECT_EQ(server->AcquireResource(1, 9), E_INVALIDARG);
  EXPECT_EQ(server->AcquireResource(2, 1), E_INVALIDARG);
  EXPECT_EQ(server->GetBoardProperty(1, 32, &value), E_INVALIDARG);
  EXPECT_EQ(server->GetBoardProperty(1, 1, nullptr), E_POINTER);
  EXPECT_EQ(server->SetBoardOption(1, 4, 0), E_INVALIDARG);
  board.SetResourceBusy(1, 4, true);
  EXPECT_EQ(server->AcquireResource(1, 4), HRESULT_FROM_WIN32(ERROR_BUSY));

  EXPECT_EQ(server->FreeResources(1), S_OK);
  state = board.Resources(1);
  EXPECT_TRUE(state.acquired.empty());
  EXPECT_EQ(state.properties[kPropertyRouting], kRoutingStartValue);
  EXPECT_EQ(state.rect, BoardResources::Rect{});
  EXPECT_EQ(state.free_count, 1);
  EXPECT_EQ(server->FreeResources(5), E_INVALIDARG);
}

TEST(SoftwareBoard, UnsubscribeWaitsForACallbackInFlightAndNoneFollows) {
  const auto clock = std::make_shared<CSteppedClock>(1'000'000'000);
  CSoftwareBoard board(Config("pal"), clock);
  board.Register();
  std::shared_ptr<IClvTimeline> timeline;
  ASSERT_EQ(Server()->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &timeline),
            S_OK);
  std::atomic<bool> inside{false};
  std::atomic<int> calls{0};
  const int id = board.Subscribe([&](const OutputFrame&) {
    inside = true;
    ++calls;
    std::this_thread::sleep_for(150ms);  // a slow subscriber
    inside = false;
  });
  clock->Set(board.grid().TimeOfTick(board.grid().TickAt(clock->NowNs()) + 1));
  std::thread output([&] { board.PumpOutput(); });
  while (!inside) std::this_thread::yield();
  board.Unsubscribe(id);
  EXPECT_FALSE(inside);  // the call in flight had finished
  output.join();
  const int before = calls;
  clock->Set(clock->NowNs() + 200'000'000);
  board.PumpOutput();
  EXPECT_EQ(calls, before);
  UnregisterServerClasses();
}

TEST(SoftwareBoard, InjectedErrorStopsTheDrivingTimeline) {
  CSoftwareBoard board(Config("pal"), std::make_shared<CSteppedClock>());
  board.Register();
  EXPECT_FALSE(board.InjectStopOnError(0));
  std::shared_ptr<IClvTimeline> timeline;
  ASSERT_EQ(Server()->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                       kDeckDataBufferBytes, 0, &timeline),
            S_OK);
  EXPECT_TRUE(board.InjectStopOnError(0));
  std::int32_t state = 0;
  EXPECT_EQ(timeline->get_State(&state), S_OK);
  EXPECT_EQ(state, ClvPlaybackStopOnError);
  EXPECT_EQ(timeline->Reset(Realtime), S_OK);
  EXPECT_EQ(timeline->get_State(&state), S_OK);
  EXPECT_EQ(state, ClvPlaybackEmpty);
}

// Real clock from here on: one frame of slack, never more.
class RealClockBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    tape_ = testing::MakeTestTape(folder_, "tape.avi", testing::SmallTape(4.0), &error);
    ASSERT_FALSE(tape_.empty()) << error;
    config_ = Config("pal");
    config_.log_path = folder_.File("output.log");
  }

  void Start() {
    board_ = std::make_unique<CSoftwareBoard>(config_);
    board_->Register();
    server_ = Server();
    ASSERT_EQ(server_->CreateAVTimeline(0, kDeckVideoBufferBytes, kDeckAudioBufferBytes,
                                        kDeckDataBufferBytes, 0, &timeline_),
              S_OK);
    ASSERT_EQ(server_->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip_), S_OK);
    std::shared_ptr<IClvMovie> movie;
    ASSERT_EQ(CreateInstance(CLSCTX_INPROC_SERVER, &movie), S_OK);
    ASSERT_EQ(movie->OpenFile(tape_), S_OK);
    ASSERT_EQ(clip_->AddMovie(movie), S_OK);
  }
  double Queued() {
    double t = -1;
    EXPECT_EQ(timeline_->get_QueuedTime(&t), S_OK);
    return t;
  }
  // The queued time and the clock just before and just after it was read.
  struct TimedReading {
    std::chrono::steady_clock::time_point before;
    double seconds = -1;
    std::chrono::steady_clock::time_point after;
  };
  TimedReading TimedQueued() {
    TimedReading reading;
    reading.before = std::chrono::steady_clock::now();
    reading.seconds = Queued();
    reading.after = std::chrono::steady_clock::now();
    return reading;
  }
  static double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
  }

  // Bounds a wait for the board to play out what is queued (a few seconds of pictures at most).
  static constexpr int kPlayOutMs = 30000;

  testing::TempFolder folder_;
  std::string tape_;
  BoardConfig config_;
  std::unique_ptr<CSoftwareBoard> board_;
  std::shared_ptr<IClvPlayServer> server_;
  std::shared_ptr<IClvTimeline> timeline_;
  std::shared_ptr<IClvSuperClip> clip_;
};

TEST_F(RealClockBoard, RealtimeStretchFallsWithTheClockPausesAndEndsOnItsLastPicture) {
  Start();
  auto recorder = std::make_unique<Recorder>(*board_);
  const double frame = 1 / 25.0;
  ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, 10 * frame, 2.0), S_OK);  // frames 10..59
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPreparing), S_OK);
  WaitReady(*timeline_);
  // Each reading of the queue is bracketed by the clock, so that the time between two readings
  // is known within the brackets however long the machine keeps this thread waiting.
  const auto played = std::chrono::steady_clock::now();
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  const auto first = TimedQueued();
  // 49 pictures after the first: (49 + 1.5) / 25, less a picture for each tick past the first
  // that came before the reading.
  const double full = 2.0 + 0.5 * frame;
  const double gone = std::round((full - first.seconds) / frame);
  EXPECT_NEAR(first.seconds, full - gone * frame, 1e-9);
  EXPECT_GE(gone, 0.0);
  EXPECT_LE(gone, std::ceil(Seconds(first.after - played) / frame));
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(150ms);  // the stretch plays on for a while of the test's choosing
    const auto t = TimedQueued();
    // The picture advances at ticks: the clock's time between the readings, give or take the
    // tick a reading may fall short of, and less the first tick of play, which shows the first
    // picture without taking one from the queue.
    EXPECT_LE(first.seconds - t.seconds, Seconds(t.after - first.before) + frame);
    EXPECT_GE(first.seconds - t.seconds, Seconds(t.before - first.after) - 2 * frame);
  }
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPaused), S_OK);
  const double paused = Queued();
  std::this_thread::sleep_for(120ms);  // a pause that lasts: the queue must not move meanwhile
  EXPECT_EQ(Queued(), paused);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  EXPECT_TRUE(testing::WaitFor([&] { return Queued() == 0.0; }, kPlayOutMs));
  const auto timeline = board_->Timeline(0);
  ASSERT_NE(timeline, nullptr);
  EXPECT_EQ(timeline->FrameOnOutput(), 59);

  // The output record goes on: the last picture stays for the ticks after it.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const std::vector<OutputFrame> so_far = recorder->Frames();
        return so_far.size() >= 2 && so_far.back().tape_frame == 59 &&
               so_far[so_far.size() - 2].tape_frame == 59;
      },
      kPlayOutMs));
  const std::vector<OutputFrame> frames = recorder->Frames();
  ASSERT_GT(frames.size(), 50u);
  // One record per tick, in order, each frame of the stretch in turn, the last one staying.
  std::int64_t shown = -1;
  std::vector<std::int64_t> order;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i > 0) {
      EXPECT_EQ(frames[i].tick, frames[i - 1].tick + 1);
      EXPECT_EQ(frames[i].steady_ns - frames[i - 1].steady_ns, 40'000'000);
    }
    if (frames[i].tape_frame != shown) order.push_back(shown = frames[i].tape_frame);
  }
  ASSERT_EQ(order.size(), 50u);
  for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], 10 + static_cast<int>(i));
  EXPECT_EQ(frames.back().tape_frame, 59);
  EXPECT_EQ(frames.back().timecode, "00:00:02:09");

  // The log file carries the same record.
  recorder.reset();  // before the board it subscribed to
  board_.reset();
  std::ifstream log(config_.log_path);
  std::int64_t tick = 0, ns = 0, previous_tick = -1;
  std::string tape_frame, timecode, monitor;
  int lines = 0;
  while (log >> tick >> ns >> tape_frame >> timecode >> monitor) {
    EXPECT_EQ(monitor, "-");  // no monitor watches this board
    if (previous_tick >= 0) {
      EXPECT_EQ(tick, previous_tick + 1);
    }
    previous_tick = tick;
    ++lines;
  }
  EXPECT_GE(lines, static_cast<int>(frames.size()));
  EXPECT_EQ(tape_frame, "59");
  EXPECT_EQ(timecode, "00:00:02:09");
}

TEST_F(RealClockBoard, AllImagesShowsThreePicturesOneTickEachAndTheHeldOneATickMore) {
  Start();
  Recorder recorder(*board_);
  const double frame = 1 / 25.0;
  ASSERT_EQ(timeline_->Reset(AllImages), S_OK);
  for (int f : {30, 31, 32}) {
    ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, f * frame, frame), S_OK);
  }
  ASSERT_EQ(timeline_->HoldLastFrame(frame), S_OK);
  ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, 40 * frame, frame), S_OK);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPreparing), S_OK);
  WaitReady(*timeline_);
  ASSERT_EQ(timeline_->put_State(ClvPlaybackPlaying), S_OK);
  std::vector<std::int64_t> seen;
  // Until the record shows 31 and the four ticks after it.
  const auto seen_after_31 = [&] {
    seen.clear();
    for (const OutputFrame& f : recorder.Frames()) seen.push_back(f.tape_frame);
    return seen.end() - std::find(seen.begin(), seen.end(), 31) >= 5;
  };
  EXPECT_TRUE(testing::WaitFor(seen_after_31, kPlayOutMs));
  // From the first picture on: 31 once, 32 twice (the hold), then 40 to the end.
  const auto at = std::find(seen.begin(), seen.end(), 31);
  ASSERT_NE(at, seen.end());
  ASSERT_GE(seen.end() - at, 5);
  EXPECT_EQ(*(at - 1), 30);
  EXPECT_EQ(std::vector<std::int64_t>(at, at + 5), (std::vector<std::int64_t>{31, 32, 32, 40, 40}));

  // Reset empties the queue; the last picture stays on the output.
  ASSERT_EQ(timeline_->AddSuperClipFragment(clip_, 50 * frame, frame), S_OK);
  ASSERT_EQ(timeline_->Reset(Realtime), S_OK);
  EXPECT_EQ(Queued(), 0.0);
  EXPECT_EQ(board_->Timeline(0)->FrameOnOutput(), 40);
}

}  // namespace
}  // namespace vxr
