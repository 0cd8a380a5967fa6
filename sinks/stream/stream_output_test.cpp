#include "sinks/stream/stream_output.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "platform/diagnostics.h"
#include "testing/media/rist_receiver.h"
#include "testing/media/srt_test_caller.h"
#include "testing/media/stream_receiver.h"
#include "testing/media/tape_picture.h"
#include "testing/media/test_tapes.h"
#include "testing/media/ts_reader.h"
#include "testing/wait_for.h"
#include "vboard/program/sound_cadence.h"

namespace vxr {
namespace {

// A small output keeps encoding quick under the sanitizers; the sink does not care about size.
const OutputFormat kFormat{"test", 352, 288, 25, 1};
constexpr int kToneEvery = 25;     // a tone burst starts with every 25th tick's sound
constexpr int kToneSamples = 480;  // 10 ms
constexpr double kToneHz = 1000.0;
constexpr int kWaitMs = 60000;

std::string Timecode(std::int64_t frame) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", static_cast<int>(frame / 90000),
                static_cast<int>(frame / 1500 % 60), static_cast<int>(frame / 25 % 60),
                static_cast<int>(frame % 25));
  return text;
}

// The tick's program as the board composes it: a test-tape picture and a tone burst at the start
// of every 25th tick.
std::shared_ptr<const ProgramFrame> MakeTick(std::int64_t tick, std::int64_t tape_frame) {
  auto frame = std::make_shared<ProgramFrame>();
  frame->tick = tick;
  frame->tape_frame = tape_frame;
  frame->timecode = Timecode(tape_frame);
  frame->width = kFormat.width;
  frame->height = kFormat.height;
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kFormat.width) * kFormat.height);
  DrawTapePicture(luma.data(), kFormat.width, kFormat.width, kFormat.height,
                  static_cast<std::uint32_t>(tape_frame), 25);
  auto pixels = std::make_shared<std::vector<std::uint32_t>>(luma.size());
  for (std::size_t i = 0; i < luma.size(); ++i) {
    (*pixels)[i] = 0xff000000u | luma[i] * 0x010101u;
  }
  frame->pixels = pixels;
  const int samples = SoundSamplesInTick(tick, kFormat.rate_num, kFormat.rate_den);
  frame->sound.assign(static_cast<std::size_t>(samples) * kProgramSoundChannels, 0);
  if (tick % kToneEvery == 0) {
    for (int i = 0; i < kToneSamples; ++i) {
      const auto value =
          static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * kToneHz * i / kProgramSoundRate));
      frame->sound[2 * i] = frame->sound[2 * i + 1] = value;
    }
  }
  return frame;
}

// Plays forward from 200, stands still, then runs backwards, as a deck's output might.
std::int64_t TapeFrameAt(std::int64_t tick) {
  if (tick < 40) return 200 + tick;
  if (tick < 60) return 239;
  return 239 - (tick - 60);
}

// Hands ticks to the sink as the board's clock does: one every output frame. With keep_up each
// tick first waits until the sink has dealt with (sent or dropped) every tick before it, as on a
// machine whose encoder keeps up with the clock, however slow this one is.
// after_push, when given, runs after every Push.
void RunClock(IProgramSink& sink, std::int64_t first, std::int64_t count, bool keep_up = false,
              const std::function<void()>& after_push = {}) {
  auto next = std::chrono::steady_clock::now();
  for (std::int64_t tick = first; tick < first + count; ++tick) {
    if (keep_up) {
      ASSERT_TRUE(testing::WaitFor(
          [&] {
            const ProgramSinkStats stats = sink.Stats();
            return stats.sent + stats.dropped >= stats.received;
          },
          kWaitMs, 1))
          << "tick " << tick;
    }
    const auto before = std::chrono::steady_clock::now();
    sink.Push(MakeTick(tick, TapeFrameAt(tick)));
    const auto took = std::chrono::steady_clock::now() - before;
    // Generous for a loaded machine under a sanitizer, well below the one-second write and the
    // five-second connect time-outs that a Push waiting on its sink would show.
    EXPECT_LT(took, std::chrono::milliseconds(500)) << "Push waited at tick " << tick;
    if (after_push) after_push();
    next += std::chrono::milliseconds(40);
    std::this_thread::sleep_until(next);
  }
}

// A received stream at a constant rate: whole, in messages of seven packets (the stream's last
// flush may send fewer), the encoders' gaps filled with null packets, and at least least_pcrs
// clock references, each measuring the rate.
void ExpectWholeConstantRateStream(const TsReport& report, long rate, std::size_t least_pcrs) {
  ASSERT_GT(report.packets, 1000u);
  EXPECT_EQ(report.sync_errors, 0u);
  EXPECT_EQ(report.continuity_errors, 0u);
  EXPECT_LE(report.odd_datagrams, 1u);
  EXPECT_GT(report.null_packets, report.packets / 10);
  ASSERT_GT(report.pcr_rates.size(), least_pcrs);
  for (const double measured : report.pcr_rates) EXPECT_NEAR(measured, rate, rate * 0.005);
}

// The deck's diagnostics while it lives, "TAG TEXT" a line.
class ReportLog {
 public:
  ReportLog()
      : previous_(SetDiagnosticSink([this](std::string_view tag, std::string_view text) {
          std::lock_guard lock(mutex_);
          lines_.push_back(std::string(tag) + " " + std::string(text));
        })) {}
  ~ReportLog() { SetDiagnosticSink(previous_); }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
  DiagnosticSink previous_;
};

// Whether a UDP socket of this machine is bound to port (any address), as /proc/net/udp says.
bool UdpPortBound(int port) {
  std::ifstream table("/proc/net/udp");
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    if (fields >> slot >> local && local.ends_with(wanted)) return true;
  }
  return false;
}

TEST(StreamOutputTest, AReceiverGetsEveryPictureWithItsTimecodeAndItsSoundInStep) {
  const int port = FreeLoopbackUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  constexpr std::int64_t kTicks = 100;
  constexpr std::int64_t kLateJoinTicks = 10;
  ParsedOutputUrl parsed = ParseOutputUrl(url);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  ProgramSinkStats stats;
  std::future<ReceivedStream> receiving;
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    // The receiver joins the running stream late: the first ticks go out before it listens.
    RunClock(output, 0, kLateJoinTicks, true);
    receiving = std::async(std::launch::async, [&] {
      return ReceiveStream(url + "?timeout=3000000&fifo_size=100000", kTicks,
                           std::chrono::milliseconds(3000), std::chrono::seconds(60));
    });
    ASSERT_TRUE(testing::WaitFor([&] { return UdpPortBound(port); }, kWaitMs));
    RunClock(output, kLateJoinTicks, kTicks - kLateJoinTicks, true);
    // The last ticks are sent before the stream ends.
    ASSERT_TRUE(testing::WaitFor(
        [&] { return output.Stats().sent + output.Stats().dropped >= kTicks; }, kWaitMs));
    stats = output.Stats();
  }
  const ReceivedStream received = receiving.get();
  ASSERT_TRUE(received.opened) << received.error;
  EXPECT_EQ(stats.received, kTicks);
  EXPECT_EQ(stats.dropped, 0);
  EXPECT_EQ(stats.failures, 0);

  // A late join still gets pictures within a second: the first picture is at the latest the
  // second key frame.
  ASSERT_FALSE(received.pictures.empty());
  const ReceivedPicture& first = received.pictures.front();
  ASSERT_TRUE(first.strip);
  const std::int64_t first_tick = static_cast<std::int64_t>(*first.strip) - 200;
  EXPECT_LE(first_tick, 25);
  EXPECT_GE(received.pictures.size(), static_cast<std::size_t>(kTicks - 25 - 1));

  // Every picture is the tape frame of its tick, in order, with that frame's timecode, and the
  // timestamps move one output frame per tick.
  for (const ReceivedPicture& picture : received.pictures) {
    EXPECT_EQ(picture.width, kFormat.width);
    const std::int64_t tick =
        first_tick + std::llround((picture.seconds - first.seconds) * kFormat.rate_num);
    ASSERT_TRUE(picture.strip) << "tick " << tick;
    EXPECT_EQ(*picture.strip, TapeFrameAt(tick)) << "tick " << tick;
    EXPECT_EQ(picture.timecode, Timecode(TapeFrameAt(tick))) << "tick " << tick;
  }
  for (std::size_t i = 1; i < received.pictures.size(); ++i) {
    EXPECT_NEAR(received.pictures[i].seconds - received.pictures[i - 1].seconds, 0.04, 1e-3);
  }

  // Sound and picture in step: each tone burst starts at its tick's picture time, within 1 ms.
  int bursts = 0;
  for (std::int64_t tick = (first_tick + kToneEvery - 1) / kToneEvery * kToneEvery;
       tick < kTicks - 5; tick += kToneEvery) {
    const double picture_time = first.seconds + (tick - first_tick) / 25.0;
    const auto expected =
        static_cast<std::int64_t>((picture_time - received.sound_start) * kProgramSoundRate);
    const std::int64_t onset = FindToneOnset(received.sound, expected - 2400, 0.05f);
    ASSERT_GE(onset, 0) << "no tone for tick " << tick;
    const double offset_ms = (onset - expected) * 1000.0 / kProgramSoundRate;
    EXPECT_LE(std::fabs(offset_ms), 1.0) << "tick " << tick;
    ++bursts;
  }
  EXPECT_GE(bursts, 2);
}

TEST(StreamOutputTest,
     ADestinationThatFailsIsReportedOnceRetriedAndTakenAgainWithoutHoldingTheClock) {
  const int port = FreeLoopbackUdpPort();
  // With a space: the log's redaction of an address ends there, the output's does not.
  const std::string secret = "vxr-secret passphrase-tail";
  constexpr int kSteadyPictures = 75;
  const std::string url =
      "srt://127.0.0.1:" + std::to_string(port) + "?passphrase=" + secret + "&connect_timeout=500";
  ReportLog log;
  ParsedOutputUrl parsed = ParseOutputUrl(url);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  ProgramSinkStats stats;
  ReceivedStream received;
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    // Nobody listens: the caller fails, reports once and retries while the clock goes on,
    // holding no more than the newest tick meanwhile.
    std::size_t most_queued = 0;
    RunClock(output, 0, 40, false,
             [&] { most_queued = std::max(most_queued, output.QueuedTicks()); });
    EXPECT_FALSE(output.Connected());
    EXPECT_LE(most_queued, 1u);
    // The destination comes: a receiver listens with the same passphrase, for three seconds
    // of pictures (the clock's pace), longer than a session must last to end the outage.
    auto receiving = std::async(std::launch::async, [&] {
      return ReceiveStream(
          "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener&passphrase=" + secret,
          kSteadyPictures, std::chrono::milliseconds(3000), std::chrono::seconds(30));
    });
    RunClock(output, 40, 150);
    received = receiving.get();
    output.Stop();
    stats = output.Stats();
  }
  ASSERT_TRUE(received.opened) << received.error;
  EXPECT_GE(received.pictures.size(), static_cast<std::size_t>(kSteadyPictures));
  // The figures add up: every tick was sent or dropped, those queued at the stop too.
  EXPECT_EQ(stats.sent + stats.dropped, stats.received);
  EXPECT_EQ(stats.received, 190);
  for (const ReceivedPicture& picture : received.pictures) {
    ASSERT_TRUE(picture.strip);
    EXPECT_EQ(picture.timecode, Timecode(*picture.strip));
  }
  EXPECT_GE(stats.failures, 1);
  EXPECT_GT(stats.dropped, 0);
  // One report for the whole outage, however many retries it took, before the stream was taken.
  int outage_reports = 0;
  bool taken = false;
  for (const std::string& line : log.Lines()) {
    EXPECT_EQ(line.find("vxr-secret"), std::string::npos) << line;
    EXPECT_EQ(line.find("passphrase-tail"), std::string::npos) << line;
    if (line.find("sending the program") != std::string::npos) taken = true;
    if (!taken && line.starts_with("Err Output")) ++outage_reports;
  }
  EXPECT_TRUE(taken);
  EXPECT_EQ(outage_reports, 1);
  const std::vector<std::string> reports = log.Lines();
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(reports[0].starts_with("Err Output output srt://127.0.0.1:" + std::to_string(port) +
                                     "?passphrase=***&connect_timeout=500: cannot open: "))
      << reports[0];
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

TEST(StreamOutputTest, AnEncoderBehindTheClockDropsPicturesAndKeepsItsQueueBounded) {
  const ParsedOutputUrl parsed =
      ParseOutputUrl("udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort()));
  ASSERT_TRUE(parsed.settings);
  constexpr std::int64_t kTicks = 300;
  std::vector<std::shared_ptr<const ProgramFrame>> ticks;
  for (std::int64_t tick = 0; tick < kTicks; ++tick) ticks.push_back(MakeTick(tick, tick));
  CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
  // Far faster than any encoder: every tick at once.
  const auto start = std::chrono::steady_clock::now();
  for (const auto& tick : ticks) output.Push(tick);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_TRUE(testing::WaitFor(
      [&] { return output.Stats().sent + output.Stats().dropped >= kTicks; }, 60000));
  const ProgramSinkStats stats = output.Stats();
  EXPECT_EQ(stats.received, kTicks);
  EXPECT_GT(stats.dropped, 0);
  EXPECT_GT(stats.sent, 0);
  EXPECT_EQ(stats.sent + stats.dropped, kTicks);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// A 1080 encoder behind the clock: the queue's pictures stay within their bytes however many
// ticks wait, a picture that ticks share counts once, and every tick is sent or dropped.
TEST(StreamOutputTest, TheQueuedPicturesOfA1080StreamStayWithinTheirBytes) {
  constexpr std::size_t kLimitBytes = std::size_t{32} << 20;
  const OutputFormat hd{"1080-25", 1920, 1080, 25, 1};
  const std::size_t picture_bytes = std::size_t{1920} * 1080 * sizeof(std::uint32_t);
  const ParsedOutputUrl parsed =
      ParseOutputUrl("udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort()));
  ASSERT_TRUE(parsed.settings);
  auto tick_of = [&](std::int64_t tick, std::shared_ptr<const std::vector<std::uint32_t>> pixels) {
    auto frame = std::make_shared<ProgramFrame>();
    frame->tick = tick;
    frame->tape_frame = tick;
    frame->timecode = Timecode(tick);
    frame->width = hd.width;
    frame->height = hd.height;
    frame->pixels = std::move(pixels);
    frame->sound.assign(
        static_cast<std::size_t>(SoundSamplesInTick(tick, 25, 1)) * kProgramSoundChannels, 0);
    return frame;
  };
  CStreamOutput output(*parsed.settings, hd, std::make_shared<CSteadyClock>());
  // One picture held by many ticks (the output standing still) counts once.
  constexpr std::int64_t kStill = 40;
  const auto still = std::make_shared<std::vector<std::uint32_t>>(
      picture_bytes / sizeof(std::uint32_t), 0xff808080u);
  for (std::int64_t tick = 0; tick < kStill; ++tick) {
    output.Push(tick_of(tick, still));
    EXPECT_LE(output.QueuedPictureBytes(), picture_bytes);
  }
  // Then each its own picture, all at once: far more than the limit holds.
  constexpr std::int64_t kDistinct = 12;
  std::vector<std::shared_ptr<const ProgramFrame>> ticks;
  for (std::int64_t tick = kStill; tick < kStill + kDistinct; ++tick) {
    ticks.push_back(tick_of(tick, std::make_shared<std::vector<std::uint32_t>>(
                                      picture_bytes / sizeof(std::uint32_t),
                                      0xff000000u | static_cast<std::uint32_t>(tick) * 0x010101u)));
  }
  std::size_t most_bytes = 0;
  for (const auto& tick : ticks) {
    output.Push(tick);
    most_bytes = std::max(most_bytes, output.QueuedPictureBytes());
  }
  EXPECT_LE(most_bytes, kLimitBytes);
  EXPECT_GE(most_bytes, picture_bytes);  // the newest tick keeps its picture
  ASSERT_TRUE(testing::WaitFor(
      [&] { return output.Stats().sent + output.Stats().dropped >= kStill + kDistinct; }, kWaitMs));
  const ProgramSinkStats stats = output.Stats();
  EXPECT_EQ(stats.received, kStill + kDistinct);
  EXPECT_GT(stats.sent, 0);
  EXPECT_EQ(stats.sent + stats.dropped, stats.received);
  EXPECT_EQ(output.QueuedPictureBytes(), 0u);
}

TEST(StreamOutputTest, AnSdChainGetsMpeg2PicturesAndMp2Sound) {
  const int port = FreeLoopbackUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  constexpr std::int64_t kTicks = 40;
  auto receiving = std::async(std::launch::async, [&] {
    return ReceiveStream(url + "?timeout=3000000&fifo_size=100000", kTicks,
                         std::chrono::milliseconds(3000), std::chrono::seconds(60));
  });
  const ParsedOutputUrl parsed = ParseOutputUrl(url + "?vcodec=mpeg2&acodec=mp2");
  ASSERT_TRUE(parsed.settings) << parsed.error;
  ASSERT_TRUE(testing::WaitFor([&] { return UdpPortBound(port); }, kWaitMs));
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    RunClock(output, 0, kTicks, true);
    ASSERT_TRUE(testing::WaitFor(
        [&] { return output.Stats().sent + output.Stats().dropped >= kTicks; }, kWaitMs));
  }
  const ReceivedStream received = receiving.get();
  ASSERT_TRUE(received.opened) << received.error;
  ASSERT_GE(received.pictures.size(), 10u);
  for (const ReceivedPicture& picture : received.pictures) {
    ASSERT_TRUE(picture.strip);
    const std::int64_t tick = *picture.strip - 200;  // play: tape frame 200 + tick
    EXPECT_NEAR(picture.seconds - received.pictures.front().seconds,
                (tick - (*received.pictures.front().strip - 200)) / 25.0, 1e-3);
  }
  EXPECT_GT(received.sound.size(), 48000u / 2);
  // Each GOP header carries the tape timecode of its first picture, not the encoder's count.
  int gops = 0;
  for (const ReceivedPicture& picture : received.pictures) {
    if (picture.timecode.empty()) continue;
    EXPECT_EQ(picture.timecode, Timecode(*picture.strip));
    ++gops;
  }
  EXPECT_GE(gops, 2);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// A destination that takes the connection and refuses every write (a connected UDP socket whose
// port nobody has: the machine answers "port unreachable"): the retries back off (0.5, 1, 2 s)
// instead of starting again at half a second after every connection, and the outage is one line.
TEST(StreamOutputTest, ADestinationThatRefusesEveryWriteIsRetriedWithBackOffAndReportedOnce) {
  const std::string url = "udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort());
  ReportLog log;
  const ParsedOutputUrl parsed = ParseOutputUrl(url + "?connect=1");
  ASSERT_TRUE(parsed.settings) << parsed.error;
  constexpr std::int64_t kFailures = 4;
  constexpr std::int64_t kMostTicks = 3000;  // two minutes of the clock
  std::vector<std::chrono::steady_clock::time_point> failed_at;
  ProgramSinkStats stats;
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    auto next = std::chrono::steady_clock::now();
    for (std::int64_t tick = 0; tick < kMostTicks; ++tick) {
      output.Push(MakeTick(tick, tick));
      while (static_cast<std::int64_t>(failed_at.size()) < output.Stats().failures) {
        failed_at.push_back(std::chrono::steady_clock::now());
      }
      if (static_cast<std::int64_t>(failed_at.size()) >= kFailures) break;
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
    }
    output.Stop();
    stats = output.Stats();
  }
  ASSERT_GE(static_cast<std::int64_t>(failed_at.size()), kFailures);
  // Three waits of at least 0.5, 1 and 2 s lie between the first and the fourth failure (less
  // the one tick by which the first may have been seen late).
  EXPECT_GE(failed_at[kFailures - 1] - failed_at[0], std::chrono::milliseconds(3500 - 40 - 1));
  EXPECT_EQ(stats.sent + stats.dropped, stats.received);
  int errors = 0;
  for (const std::string& line : log.Lines()) {
    if (line.starts_with("Err Output")) ++errors;
  }
  EXPECT_EQ(errors, 1) << ::testing::PrintToString(log.Lines());
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// A destination's name is resolved away from the output's thread: with a name server that never
// answers, a stop still ends the output (the resolution is left to end on its own, and it is no
// failure of the destination); a name that resolves is streamed to its address.
TEST(StreamOutputTest, AStopNeverWaitsForANameServerAndANameIsStreamedToItsAddress) {
  struct Gate {
    std::mutex mutex;  // guards the fields below
    std::condition_variable changed;
    std::vector<std::string> asked;
    bool open = false;
  };
  auto gate = std::make_shared<Gate>();
  const ResolveFunction hanging = [gate](const std::string& host, std::string* address,
                                         std::string* error) {
    std::unique_lock lock(gate->mutex);
    gate->asked.push_back(host);
    gate->changed.wait(lock, [&] { return gate->open || host != "dead-name-server.test"; });
    *address = "127.0.0.1";
    *error = "no answer";
    return host != "dead-name-server.test";
  };
  auto asked = [&] {
    std::lock_guard lock(gate->mutex);
    return gate->asked;
  };
  const ParsedOutputUrl dead = ParseOutputUrl("udp://dead-name-server.test:5000");
  ASSERT_TRUE(dead.settings);
  CStreamOutput output(*dead.settings, kFormat, std::make_shared<CSteadyClock>(), hanging);
  output.Push(MakeTick(0, 0));
  ASSERT_TRUE(testing::WaitFor([&] { return !asked().empty(); }, kWaitMs));
  auto stopping = std::async(std::launch::async, [&] { output.Stop(); });
  // A stop that waited for the resolver would wait for ever: the gate opens only after it.
  const std::future_status stopped = stopping.wait_for(std::chrono::milliseconds(kWaitMs));
  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
  }
  gate->changed.notify_all();
  stopping.get();
  EXPECT_EQ(stopped, std::future_status::ready);
  EXPECT_EQ(output.Stats().received, 1);
  EXPECT_EQ(output.Stats().dropped, 1);
  EXPECT_EQ(output.Stats().failures, 0);

  const int port = FreeLoopbackUdpPort();
  auto receiving = std::async(std::launch::async, [&] {
    return ReceiveStream("udp://127.0.0.1:" + std::to_string(port) + "?timeout=3000000", 10,
                         std::chrono::milliseconds(3000), std::chrono::seconds(60));
  });
  ASSERT_TRUE(testing::WaitFor([&] { return UdpPortBound(port); }, kWaitMs));
  const ParsedOutputUrl named =
      ParseOutputUrl("udp://deck-destination.test:" + std::to_string(port));
  ASSERT_TRUE(named.settings);
  {
    CStreamOutput to_name(*named.settings, kFormat, std::make_shared<CSteadyClock>(), hanging);
    RunClock(to_name, 0, 40, true);
  }
  const ReceivedStream received = receiving.get();
  ASSERT_TRUE(received.opened) << received.error;
  EXPECT_GE(received.pictures.size(), 10u);
  EXPECT_EQ(asked(), (std::vector<std::string>{"dead-name-server.test", "deck-destination.test"}));

  // The system's resolver, as the deck uses it.
  std::string address, error;
  EXPECT_TRUE(ResolveWithSystem("localhost", &address, &error)) << error;
  EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
  EXPECT_FALSE(ResolveWithSystem("no-such-destination.invalid", &address, &error));
  EXPECT_TRUE(error.starts_with("cannot resolve no-such-destination.invalid: ")) << error;
  EXPECT_TRUE(IsNumericHost("::1") && IsNumericHost("239.1.1.1") && !IsNumericHost("localhost"));
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// A UDP receiver reads the packets one by one, as a broadcast chain's analyser does, then
// decodes them: a PCR-locked decoder gets its buffer, a constant rate, paced datagrams, the
// service information and each picture's timecode in H.264's own field; wide material switches
// the signalled aspect.
TEST(StreamOutputTest, AUdpReceiverGetsAPacedConstantRateStreamThatADecoderLockedToItsClockPlays) {
  const int port = FreeLoopbackUdpPort();
  const int fd = OpenUdpReceiver(port);
  ASSERT_GE(fd, 0);
  constexpr std::int64_t kTicks = 100;
  constexpr std::int64_t kWideFrom = 60;
  constexpr int kDelayMs = 500;
  const ParsedOutputUrl parsed =
      ParseOutputUrl("udp://127.0.0.1:" + std::to_string(port) +
                     "?name=Studio-Deck&delay=" + std::to_string(kDelayMs));
  ASSERT_TRUE(parsed.settings) << parsed.error;
  const long rate = StreamMuxRate(*parsed.settings, kFormat);
  EXPECT_EQ(rate, static_cast<long>((5'000'000 + 192'000) * 1.1));
  auto receiving = std::async(std::launch::async, [&] {
    return ReceiveDatagrams(fd, std::numeric_limits<std::size_t>::max(),
                            std::chrono::milliseconds(3000), std::chrono::seconds(120));
  });
  std::string figures;
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    auto next = std::chrono::steady_clock::now();
    for (std::int64_t tick = 0; tick < kTicks; ++tick) {
      ASSERT_TRUE(testing::WaitFor(
          [&] { return output.Stats().sent + output.Stats().dropped >= tick; }, kWaitMs, 1));
      auto frame = std::make_shared<ProgramFrame>(*MakeTick(tick, 200 + tick));
      frame->wide = tick >= kWideFrom;
      output.Push(frame);
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
    }
    ASSERT_TRUE(testing::WaitFor(
        [&] { return output.Stats().sent + output.Stats().dropped >= kTicks; }, kWaitMs));
    output.Stop();
    EXPECT_EQ(output.Stats().dropped, 0);
    figures = output.Figures();
  }
  const std::vector<TsDatagram> datagrams = receiving.get();
  ::close(fd);
  EXPECT_NE(figures.find("then presented 500 ms after sending"), std::string::npos) << figures;

  const TsReport report = ReadTransportStream(datagrams);
  ASSERT_NO_FATAL_FAILURE(ExpectWholeConstantRateStream(report, rate, 100));
  // A clock reference at least every 40 ms.
  EXPECT_LE(*std::max_element(report.pcr_intervals_ms.begin(), report.pcr_intervals_ms.end()),
            40.0);
  // Every picture and sound frame starts arriving at least 80 % of the delay ahead of its
  // presentation time, and has arrived whole before it.
  ASSERT_GT(report.pts_margins_ms.size(), static_cast<std::size_t>(kTicks));
  EXPECT_GE(*std::min_element(report.pts_margins_ms.begin(), report.pts_margins_ms.end()),
            0.8 * kDelayMs);
  EXPECT_GT(*std::min_element(report.pts_end_margins_ms.begin(), report.pts_end_margins_ms.end()),
            0);
  // Paced: no 10 ms holds more than that much of the rate, bar the short burst a sender that
  // fell behind may send at once and a datagram either side of the window.
  const std::int64_t burst_bound =
      rate / 100 + std::max<long>(1316 * 8, rate / 1000 * 2) + 2 * 1316 * 8;
  EXPECT_LE(LargestBurstBits(datagrams, std::chrono::milliseconds(10)), burst_bound);

  // Decoded as a receiver does.
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("vxr-stream-" + std::to_string(port) + ".ts");
  {
    std::ofstream out(file, std::ios::binary);
    for (const TsDatagram& datagram : datagrams) {
      out.write(reinterpret_cast<const char*>(datagram.bytes.data()),
                static_cast<std::streamsize>(datagram.bytes.size()));
    }
  }
  const ReceivedStream received = ReceiveStream(
      file.string(), 2 * kTicks, std::chrono::milliseconds(3000), std::chrono::seconds(60));
  // The timecodes a standard tool lists, when it is installed: ffprobe's frames in order.
  std::vector<std::string> probed;
  const bool have_ffprobe = std::system("command -v ffprobe >/dev/null 2>&1") == 0;
  if (have_ffprobe) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -show_frames '" + file.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      const std::string text(line);
      if (text.starts_with("value=")) probed.push_back(text.substr(6, 11));
    }
    ::pclose(pipe);
  }
  std::filesystem::remove(file);
  ASSERT_TRUE(received.opened) << received.error;
  if (have_ffprobe) {
    std::vector<std::string> decoded;
    for (const ReceivedPicture& picture : received.pictures) decoded.push_back(picture.timecode);
    EXPECT_EQ(probed, decoded);
  }
  EXPECT_EQ(received.service_name, "Studio-Deck");
  EXPECT_EQ(received.service_provider, "vxrdeck");
  // 625-line standard definition (25 frames a second).
  EXPECT_EQ(received.color_primaries, AVCOL_PRI_BT470BG);
  EXPECT_EQ(received.color_transfer, AVCOL_TRC_GAMMA28);
  EXPECT_EQ(received.color_matrix, AVCOL_SPC_BT470BG);
  ASSERT_GE(received.pictures.size(), static_cast<std::size_t>(kTicks - 1));
  int wide = 0;
  for (const ReceivedPicture& picture : received.pictures) {
    ASSERT_TRUE(picture.strip);
    EXPECT_EQ(picture.timecode, Timecode(*picture.strip));
    const bool wide_tick = *picture.strip - 200 >= kWideFrom;
    // 4:3 or 16:9 on 352 x 288: pixels 12:11 or 16:11.
    EXPECT_EQ(picture.aspect_num, wide_tick ? 16 : 12) << "frame " << *picture.strip;
    EXPECT_EQ(picture.aspect_den, 11);
    wide += wide_tick;
  }
  EXPECT_GT(wide, 0);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// How late the test's RIST receiver may read what its library hands on (milliseconds' worth of
// the rate in one window): on a loaded two-core machine its thread wakes up to several
// milliseconds late. An unpaced sender still exceeds the bound by far (253 kbit measured at SD
// against about 147).
constexpr long kRistReadSlackMs = 10;

// FFmpeg's RIST protocol sends each write at once; the deck paces it: the receiver gets the
// constant-rate stream in messages of seven packets, without a gap, a key frame spread over time
// instead of in one burst.
TEST(StreamOutputTest, ARistReceiverGetsTheStreamPacedAtItsRate) {
#if defined(__SANITIZE_THREAD__)
  // librist's receive threads are not instrumented: under ThreadSanitizer its copies race in
  // FFmpeg's eyes, and the receiver gets a fraction of the stream. The paced sender's own
  // threading is tested under ThreadSanitizer on its own.
  GTEST_SKIP() << "the RIST receiver does not run under ThreadSanitizer";
#endif
  const int port = FreeLoopbackUdpPort();
  constexpr std::int64_t kTicks = 75;
  const ParsedOutputUrl parsed = ParseOutputUrl("rist://127.0.0.1:" + std::to_string(port));
  ASSERT_TRUE(parsed.settings) << parsed.error;
  const long rate = StreamMuxRate(*parsed.settings, kFormat);
  std::promise<void> listening;
  auto listened = listening.get_future();
  std::atomic<bool> sent_all{false};
  auto receiving = std::async(std::launch::async, [&] {
    return ReceiveRist("rist://@127.0.0.1:" + std::to_string(port), std::chrono::milliseconds(3000),
                       std::chrono::seconds(120), &listening, &sent_all);
  });
  listened.wait();
  {
    CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
    auto next = std::chrono::steady_clock::now();
    for (std::int64_t tick = 0; tick < kTicks; ++tick) {
      ASSERT_TRUE(testing::WaitFor(
          [&] { return output.Stats().sent + output.Stats().dropped >= tick; }, kWaitMs, 1));
      output.Push(MakeTick(tick, 300 + tick));
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
    }
    ASSERT_TRUE(testing::WaitFor(
        [&] { return output.Stats().sent + output.Stats().dropped >= kTicks; }, kWaitMs));
    output.Stop();
    sent_all = true;
    EXPECT_EQ(output.Stats().dropped, 0);
    EXPECT_EQ(output.Stats().failures, 0);
  }
  const std::vector<TsDatagram> messages = receiving.get();
  const TsReport report = ReadTransportStream(messages);
  ASSERT_NO_FATAL_FAILURE(ExpectWholeConstantRateStream(report, rate, 50));
  // Paced: within any 10 ms that much of the rate, the burst a sender behind its schedule may
  // send, a message either side of the window, and a few milliseconds' worth for the receiver's
  // own thread, which reads what its library hands on.
  const std::int64_t burst_bound =
      rate / 100 + rate / 1000 * 2 + 2 * 1316 * 8 + rate / 1000 * kRistReadSlackMs;
  EXPECT_LE(LargestBurstBits(messages, std::chrono::milliseconds(10)), burst_bound);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

// An SRT listener nobody calls loses nothing: its ticks are counted as having had no caller, not
// as dropped, and the figures say so.
TEST(StreamOutputTest, AListenerWithNoCallerCountsItsTicksApartFromTheDropped) {
  const ParsedOutputUrl parsed =
      ParseOutputUrl("srt://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort()) + "?mode=listener");
  ASSERT_TRUE(parsed.settings) << parsed.error;
  constexpr std::int64_t kTicks = 10;
  CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
  for (std::int64_t tick = 0; tick < kTicks; ++tick) output.Push(MakeTick(tick, tick));
  output.Stop();
  const ProgramSinkStats stats = output.Stats();
  EXPECT_EQ(stats.received, kTicks);
  EXPECT_EQ(stats.sent, 0);
  EXPECT_EQ(stats.failures, 0);
  // The newest tick waits for a caller until the stop, which drops it.
  EXPECT_EQ(output.Uncalled() + stats.dropped, kTicks);
  EXPECT_GE(output.Uncalled(), kTicks - 2);
  EXPECT_NE(output.Figures().find(std::to_string(output.Uncalled()) + " with no caller"),
            std::string::npos)
      << output.Figures();
}

// A transport rate the coded rates do not fit in is said at start.
TEST(StreamOutputTest, AMuxRateBelowTheCodedRatesIsWarnedAbout) {
  ReportLog log;
  const ParsedOutputUrl parsed = ParseOutputUrl(
      "udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort()) + "?vb=4M&ab=128k&muxrate=4200k");
  ASSERT_TRUE(parsed.settings) << parsed.error;
  { CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>()); }
  const ParsedOutputUrl enough = ParseOutputUrl(
      "udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort()) + "?vb=4M&ab=128k&muxrate=4400k");
  ASSERT_TRUE(enough.settings) << enough.error;
  { CStreamOutput output(*enough.settings, kFormat, std::make_shared<CSteadyClock>()); }
  int warnings = 0;
  for (const std::string& line : log.Lines()) {
    if (line.starts_with("Warn Output") && line.find("muxrate 4200000") != std::string::npos) {
      ++warnings;
    }
  }
  EXPECT_EQ(warnings, 1) << ::testing::PrintToString(log.Lines());
  EXPECT_EQ(log.Lines().size(), 1u) << ::testing::PrintToString(log.Lines());
}

// The lines of log that contain text.
std::vector<std::string> LinesWith(const ReportLog& log, const std::string& text) {
  std::vector<std::string> found;
  for (const std::string& line : log.Lines()) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

// A receive buffer that holds the library's latency with room to spare (about a second and a
// half of the test's stream), which a caller that stops reading fills soon.
constexpr int kSmallReceiveBuffer = 1024 * 1024;
// The ticks at the end that a caller may not have received when the listener closes.
constexpr std::int64_t kClosingTicks = 10;

// Checks what one caller received: whole TS packets without a continuity gap, and from its first
// picture (the first key frame after it joined) every tick's picture with its timecode, up to
// a few ticks before last_tick.
void ExpectEveryPicture(const CSrtTestCaller& caller, std::int64_t last_tick,
                        const std::string& file, const std::string& who) {
  SCOPED_TRACE(who);
  const TsReport report = ReadTransportStream(caller.Messages());
  EXPECT_GT(report.packets, 0u);
  EXPECT_EQ(report.sync_errors, 0u);
  EXPECT_EQ(report.continuity_errors, 0u);
  EXPECT_LE(report.odd_datagrams, 1u);  // the stream's last message may be short
  {
    const std::vector<std::uint8_t> stream = caller.Stream();
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(stream.data()),
              static_cast<std::streamsize>(stream.size()));
  }
  const ReceivedStream received =
      ReceiveStream(file, 100000, std::chrono::milliseconds(3000), std::chrono::seconds(60));
  ASSERT_TRUE(received.opened) << received.error;
  ASSERT_FALSE(received.pictures.empty());
  const ReceivedPicture& first = received.pictures.front();
  ASSERT_TRUE(first.strip);
  const std::int64_t first_tick = static_cast<std::int64_t>(*first.strip) - 200;
  EXPECT_LE(first_tick, 26);
  std::int64_t expected = first_tick;
  for (const ReceivedPicture& picture : received.pictures) {
    const std::int64_t tick =
        first_tick + std::llround((picture.seconds - first.seconds) * kFormat.rate_num);
    EXPECT_EQ(tick, expected) << "a picture missing before tick " << tick;
    expected = tick + 1;
    // What the caller's library still held for its latency when the listener closed is lost.
    if (tick < last_tick - kClosingTicks) {
      EXPECT_FALSE(picture.damaged) << "tick " << tick;
    }
    ASSERT_TRUE(picture.strip) << "tick " << tick;
    EXPECT_EQ(*picture.strip, TapeFrameAt(tick)) << "tick " << tick;
    EXPECT_EQ(picture.timecode, Timecode(TapeFrameAt(tick))) << "tick " << tick;
  }
  EXPECT_GE(expected - 1, last_tick - kClosingTicks);
}

// An SRT listener serves several callers the same stream: four get every picture; the listener
// takes eight and refuses a ninth at once, saying why; one caller that stops reading is dropped
// after its time-out while the others lose nothing; the end-of-run line counts them.
TEST(StreamOutputTest, AnSrtListenerServesEveryCallerAndDropsOneThatStopsReading) {
  ReportLog log;
  testing::TempFolder folder;
  const int port = FreeLoopbackUdpPort();
  const std::string secret = "listener-secret-42";
  const ParsedOutputUrl parsed = ParseOutputUrl("srt://127.0.0.1:" + std::to_string(port) +
                                                "?mode=listener&passphrase=" + secret);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
  EXPECT_EQ(output.Stats().callers, 0);
  // The first tick binds the listener and waits for a caller.
  output.Push(MakeTick(0, TapeFrameAt(0)));
  ASSERT_TRUE(testing::WaitFor([&] { return UdpPortBound(port); }, kWaitMs));

  std::vector<std::unique_ptr<CSrtTestCaller>> callers;
  const auto connect = [&](int receive_buffer) {
    auto caller = std::make_unique<CSrtTestCaller>();
    std::string error;
    int reason = 0;
    EXPECT_TRUE(caller->Connect(port, {secret, receive_buffer}, &error, &reason)) << error;
    callers.push_back(std::move(caller));
  };
  for (int i = 0; i < 3; ++i) connect(0);
  connect(kSmallReceiveBuffer);  // the one that will stop reading
  ASSERT_TRUE(testing::WaitFor([&] { return output.Stats().callers == 4; }, kWaitMs));

  // Four more fill the listener; a ninth is refused at once with the library's "overloaded".
  for (int i = 0; i < 4; ++i) connect(0);
  ASSERT_TRUE(testing::WaitFor([&] { return output.Stats().callers == 8; }, kWaitMs));
  {
    CSrtTestCaller ninth;
    std::string error;
    int reason = 0;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(ninth.Connect(port, {secret, 0}, &error, &reason));
    // The library's own connect time-out is three seconds: a refusal answers well within it.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2500));
    EXPECT_EQ(reason, SRT_REJX_OVERLOAD);
  }
  ASSERT_TRUE(testing::WaitFor(
      [&] { return !LinesWith(log, "too many callers (maxcallers=8)").empty(); }, kWaitMs));
  const std::string refusal = LinesWith(log, "too many callers")[0];
  EXPECT_TRUE(refusal.starts_with("Warn Output output srt://127.0.0.1:" + std::to_string(port)))
      << refusal;
  EXPECT_NE(refusal.find("refused a caller from 127.0.0.1:"), std::string::npos) << refusal;
  for (int i = 0; i < 4; ++i) {
    callers.back()->Close();
    callers.pop_back();
  }
  ASSERT_TRUE(testing::WaitFor([&] { return output.Stats().callers == 4; }, kWaitMs));

  // All four receive; then one stops reading and is dropped, and the others go on.
  std::int64_t tick = 1;
  RunClock(output, tick, 50, true);
  tick += 50;
  callers[3]->StopReading();
  constexpr int kMostRounds = 40;  // 40 s of ticks: a generous bound on the drop
  for (int round = 0; round < kMostRounds && LinesWith(log, "dropped:").empty(); ++round) {
    RunClock(output, tick, 25, true);
    tick += 25;
  }
  ASSERT_EQ(LinesWith(log, "dropped:").size(), 1u) << ::testing::PrintToString(log.Lines());
  EXPECT_NE(LinesWith(log, "dropped:")[0].find("took nothing"), std::string::npos);
  EXPECT_EQ(output.Stats().callers, 3);
  RunClock(output, tick, 50, true);
  tick += 50;
  const std::int64_t last_tick = tick - 1;
  // The last tick is sent before the stop: one still queued then would count as dropped.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const ProgramSinkStats now = output.Stats();
        return now.sent + now.dropped >= now.received;
      },
      kWaitMs));
  output.Stop();
  const ProgramSinkStats stats = output.Stats();
  EXPECT_EQ(stats.dropped, 0);
  EXPECT_EQ(stats.failures, 0);
  EXPECT_NE(output.Figures().find("callers: 8 served, 1 dropped, 1 refused"), std::string::npos)
      << output.Figures();

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(testing::WaitFor([&] { return callers[i]->Ended(); }, kWaitMs)) << i;
    ExpectEveryPicture(*callers[i], last_tick, folder.File("caller" + std::to_string(i) + ".ts"),
                       "caller " + std::to_string(i));
  }
  for (const std::string& line : log.Lines()) {
    EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
}

// A caller retrying a wrong passphrase is refused each time, said in at most one line a second
// naming it and the library's reason; the library's own handshake messages stay out of the log.
TEST(StreamOutputTest, WrongPassphrasesAreSummarisedNamingThePeerNeverThePassphrase) {
  ReportLog log;
  const int port = FreeLoopbackUdpPort();
  const std::string secret = "listener-secret-43";
  const std::string wrong = "not-the-listener-secret";
  const ParsedOutputUrl parsed = ParseOutputUrl("srt://127.0.0.1:" + std::to_string(port) +
                                                "?mode=listener&passphrase=" + secret);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  CStreamOutput output(*parsed.settings, kFormat, std::make_shared<CSteadyClock>());
  output.Push(MakeTick(0, TapeFrameAt(0)));
  ASSERT_TRUE(testing::WaitFor([&] { return UdpPortBound(port); }, kWaitMs));
  constexpr int kAttempts = 20;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kAttempts; ++i) {
    CSrtTestCaller caller;
    std::string error;
    int reason = 0;
    EXPECT_FALSE(caller.Connect(port, {wrong, 0}, &error, &reason));
    EXPECT_EQ(reason, SRT_REJ_BADSECRET);
  }
  // A slow machine may see a caller's repeated handshake refused twice: every refusal counted
  // is said, none more.
  auto refused = [&] {
    const std::string figures = output.Figures();
    const std::size_t at = figures.find(" refused");
    return at == std::string::npos ? -1 : std::atoi(figures.c_str() + figures.rfind(' ', at - 1));
  };
  ASSERT_TRUE(testing::WaitFor([&] { return refused() >= kAttempts; }, kWaitMs))
      << output.Figures();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  output.Stop();  // says what was not yet said
  EXPECT_EQ(output.Stats().callers, 0);
  const int refusals = refused();

  const std::vector<std::string> lines = LinesWith(log, "refus");
  ASSERT_FALSE(lines.empty());
  EXPECT_LE(lines.size(), static_cast<std::size_t>(std::ceil(seconds)) + 2)
      << ::testing::PrintToString(lines);
  int counted = 0;
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("Warn Output output srt://127.0.0.1:")) << line;
    EXPECT_NE(line.find("127.0.0.1"), std::string::npos) << line;
    EXPECT_NE(line.find("Incorrect passphrase"), std::string::npos) << line;
    const std::size_t more = line.find(" more refusals");
    counted += more == std::string::npos ? 1 : std::atoi(line.c_str() + line.rfind(' ', more - 1));
  }
  EXPECT_EQ(counted, refusals) << output.Figures() << ::testing::PrintToString(lines);
  EXPECT_TRUE(LinesWith(log, "Err SRT").empty()) << ::testing::PrintToString(log.Lines());
  for (const std::string& line : log.Lines()) {
    EXPECT_EQ(line.find(secret), std::string::npos) << line;
    EXPECT_EQ(line.find(wrong), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace vxr
