#include "sinks/stream/stream_output_kind.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/media/program_pipeline.h"
#include "testing/media/stream_receiver.h"
#include "testing/wait_for.h"
#include "vboard/program/sound_cadence.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 60000;
constexpr std::int64_t kTicks = 3;
constexpr std::int64_t kBehindNs = 100'000'000;

// Every entry no other kind names is a stream's, checked as an address; the stream starts as a
// sink of the program with the board's clock, so that a picture pushed 100 ms after its tick
// (on the stepped clock, which stands still) is sent exactly 100 ms after it and took no time
// to encode; Finish takes it off, stops it and gives its figures.
TEST(StreamOutputKind, TakesTheAddressesStartsTheirStreamsAndReportsTheirFiguresOnTheBoardsClock) {
  CStreamOutputKind kind;
  EXPECT_EQ(kind.Claims("screens"), IProgramOutputKind::Claim::kOtherwise);
  std::string error;
  EXPECT_FALSE(kind.Add("screens", &error));
  EXPECT_EQ(error,
            "output 'screens': not a stream address (udp://HOST:PORT, srt://HOST:PORT or "
            "rist://HOST:PORT)");
  // What FFmpeg refuses of the deck's options is refused here, once, with FFmpeg's reason,
  // instead of failing every connection; so is a passphrase file that cannot be read.
  EXPECT_FALSE(kind.Add("udp://127.0.0.1:5000?acodec=mp2&ab=200k", &error));
  EXPECT_EQ(error,
            "output 'udp://127.0.0.1:5000?acodec=mp2&ab=200k': sound encoder: Invalid argument "
            "(FFmpeg: bitrate 200 is not allowed in mp2)");
  EXPECT_FALSE(kind.Add("srt://h:1?passphrase-file=/nonexistent/vxr", &error));
  EXPECT_EQ(error,
            "output 'srt://h:1?passphrase-file=/nonexistent/vxr': passphrase-file "
            "'/nonexistent/vxr' cannot be read: No such file or directory");
  EXPECT_TRUE(kind.settings().empty());
  const std::string url = "udp://127.0.0.1:" + std::to_string(FreeLoopbackUdpPort());
  ASSERT_TRUE(kind.Add(url + "?vcodec=mpeg2", &error)) << error;
  std::ostringstream quiet;
  ASSERT_TRUE(kind.Prepare(quiet));

  BoardConfig config;
  config.format = OutputFormat{"test", 352, 288, 25, 1};
  testing::ProgramPipeline pipeline(config);
  kind.Start(pipeline.Start());
  EXPECT_EQ(pipeline.errors.str(),
            "output " + url + "?pkt_size=1316: program stream of the board's output\n");
  ASSERT_EQ(pipeline.program.Sinks().size(), 1u);
  IProgramSink& sink = *pipeline.program.Sinks()[0];
  for (std::int64_t tick = 0; tick < kTicks; ++tick) {
    auto frame = std::make_shared<ProgramFrame>();
    frame->tick = tick;
    frame->steady_ns = pipeline.clock->NowNs() - kBehindNs;
    frame->timecode = "00:00:00:00";
    frame->width = config.format.width;
    frame->height = config.format.height;
    frame->pixels = std::make_shared<std::vector<std::uint32_t>>(
        static_cast<std::size_t>(frame->width) * frame->height, 0xff000000u);
    frame->sound.assign(
        static_cast<std::size_t>(SoundSamplesInTick(tick, 25, 1)) * kProgramSoundChannels, 0);
    sink.Push(frame);
    ASSERT_TRUE(testing::WaitFor([&] { return sink.Stats().sent == tick + 1; }, kWaitMs));
  }
  const std::vector<std::string> figures = kind.Finish(pipeline.program);
  ASSERT_EQ(figures.size(), 1u);
  EXPECT_EQ(figures[0], "output " + url +
                            "?pkt_size=1316: 3 ticks, 3 pictures sent, 0 dropped, 0 failures; "
                            "encode p50 0.00 p99 0.00 max 0.00 ms; tick to sent p50 100.00 p99 "
                            "100.00 max 100.00 ms, then presented 500 ms after sending");
  EXPECT_TRUE(pipeline.program.Sinks().empty());
}

}  // namespace
}  // namespace vxr
