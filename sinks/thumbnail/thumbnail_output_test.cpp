#include "sinks/thumbnail/thumbnail_output.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vboard/media/av_handles.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 20000;
constexpr std::int64_t kTickNs = 20'000'000;  // 50 ticks a second
constexpr std::uint32_t kRed = 0xFFFF0000u;
constexpr std::uint32_t kBlue = 0xFF0000FFu;

// A picture red on its left half and blue on its right.
std::shared_ptr<const std::vector<std::uint32_t>> RedBlue(int width, int height) {
  auto pixels =
      std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(width) * height, kRed);
  for (int y = 0; y < height; ++y) {
    for (int x = width / 2; x < width; ++x)
      (*pixels)[static_cast<std::size_t>(y) * width + x] = kBlue;
  }
  return pixels;
}

std::shared_ptr<const ProgramFrame> Tick(std::int64_t tick, int width, int height,
                                         std::shared_ptr<const std::vector<std::uint32_t>> pixels,
                                         bool wide = false) {
  auto frame = std::make_shared<ProgramFrame>();
  frame->tick = tick;
  frame->steady_ns = tick * kTickNs;
  frame->tape_frame = tick;
  frame->timecode = "00:00:00:" + std::to_string(tick % 25);
  frame->width = width;
  frame->height = height;
  frame->pixels = std::move(pixels);
  frame->wide = wide;
  frame->sound.assign(static_cast<std::size_t>(kProgramSoundRate / 50) * kProgramSoundChannels, 0);
  return frame;
}

struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width x height x 3
  std::uint8_t At(int x, int y, int component) const {
    return rgb[(static_cast<std::size_t>(y) * width + x) * 3 + component];
  }
};

// Decodes a JPEG with FFmpeg's own decoder and converts it to RGB.
Decoded DecodeJpeg(const std::string& jpeg) {
  Decoded decoded;
  const AVCodec* mjpeg = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  AvCodecHandle codec(avcodec_alloc_context3(mjpeg));
  if (!codec || avcodec_open2(codec.get(), mjpeg, nullptr) < 0) return decoded;
  AvPacketHandle packet(av_packet_alloc());
  AvFrameHandle frame(av_frame_alloc());
  std::vector<std::uint8_t> data(jpeg.begin(), jpeg.end());
  data.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  packet->data = data.data();
  packet->size = static_cast<int>(jpeg.size());
  if (avcodec_send_packet(codec.get(), packet.get()) < 0) return decoded;
  if (avcodec_receive_frame(codec.get(), frame.get()) < 0) return decoded;
  decoded.width = frame->width;
  decoded.height = frame->height;
  decoded.rgb.resize(static_cast<std::size_t>(frame->width) * frame->height * 3);
  SwsHandle scaler(sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
      frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
  std::uint8_t* target[] = {decoded.rgb.data()};
  const int target_stride[] = {frame->width * 3};
  sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, target, target_stride);
  return decoded;
}

TEST(ThumbnailOutput, SizeKeepsTheDisplayAspect) {
  struct Case {
    int width, height;
    bool wide;
    int expected_height;
  } cases[] = {{1920, 1080, false, 180}, {1280, 720, false, 180}, {720, 576, false, 240},
               {720, 576, true, 180},    {720, 486, false, 240},  {720, 480, true, 180},
               {1920, 1080, true, 180}};
  for (const Case& c : cases) {
    int width = 0;
    int height = 0;
    CThumbnailOutput::ThumbnailSize(c.width, c.height, c.wide, 320, &width, &height);
    EXPECT_EQ(width, 320) << c.width << "x" << c.height;
    EXPECT_EQ(height, c.expected_height) << c.width << "x" << c.height << " wide " << c.wide;
  }
}

TEST(ThumbnailOutput, EncodesAScaledJpegOfTheProgramAtMostFiveTimesASecond) {
  CThumbnailOutput sink;
  EXPECT_EQ(sink.Picture().sequence, 0);
  EXPECT_EQ(sink.Picture().jpeg, nullptr);
  const auto pixels = RedBlue(1920, 1080);
  // One second of ticks on a stepped clock, each taken before the next: pictures at ticks 0,
  // 10, 20, 30 and 40 only.
  for (std::int64_t tick = 0; tick < 50; ++tick) {
    sink.Push(Tick(tick, 1920, 1080, pixels));
    ASSERT_TRUE(sink.WaitIdle(kWaitMs));
    if (tick == 0) {
      ASSERT_TRUE(sink.WaitPicture(1, kWaitMs));
      EXPECT_EQ(sink.Picture().timecode, "00:00:00:0");
    }
  }
  const ThumbnailPicture picture = sink.Picture();
  EXPECT_EQ(picture.sequence, 5);
  EXPECT_EQ(picture.timecode, "00:00:00:15");  // tick 40
  EXPECT_EQ(picture.width, 320);
  EXPECT_EQ(picture.height, 180);
  const ProgramSinkStats stats = sink.Stats();
  EXPECT_EQ(stats.received, 50);
  EXPECT_EQ(stats.sent, 5);
  EXPECT_EQ(stats.dropped, 0);
  EXPECT_EQ(stats.failures, 0);

  ASSERT_NE(picture.jpeg, nullptr);
  const Decoded decoded = DecodeJpeg(*picture.jpeg);
  ASSERT_EQ(decoded.width, 320);
  ASSERT_EQ(decoded.height, 180);
  // Red on the left, blue on the right, within JPEG's error.
  const int y = decoded.height / 2;
  EXPECT_GT(decoded.At(80, y, 0), 200);
  EXPECT_LT(decoded.At(80, y, 1), 50);
  EXPECT_LT(decoded.At(80, y, 2), 50);
  EXPECT_LT(decoded.At(240, y, 0), 50);
  EXPECT_LT(decoded.At(240, y, 1), 50);
  EXPECT_GT(decoded.At(240, y, 2), 200);

  // The same picture with the same timecode a fifth of a second later is not encoded again; a
  // new one is.
  sink.Push(Tick(50, 1920, 1080, pixels));
  ASSERT_TRUE(sink.WaitIdle(kWaitMs));
  EXPECT_EQ(sink.Picture().sequence, 6);
  auto repeated = std::make_shared<ProgramFrame>(*Tick(70, 1920, 1080, pixels));
  repeated->timecode = "00:00:00:0";
  sink.Push(repeated);
  ASSERT_TRUE(sink.WaitIdle(kWaitMs));
  EXPECT_EQ(sink.Picture().sequence, 6);

  // A wide standard-definition picture is 16:9, a plain one 4:3.
  sink.Push(Tick(80, 720, 576, RedBlue(720, 576), true));
  ASSERT_TRUE(sink.WaitPicture(7, kWaitMs));
  EXPECT_EQ(DecodeJpeg(*sink.Picture().jpeg).height, 180);
  sink.Push(Tick(90, 720, 576, RedBlue(720, 576), false));
  ASSERT_TRUE(sink.WaitPicture(8, kWaitMs));
  EXPECT_EQ(DecodeJpeg(*sink.Picture().jpeg).height, 240);

  // A frame whose pixels are fewer than its size says is refused, not read past its end.
  auto short_frame = std::make_shared<ProgramFrame>(*Tick(100, 720, 576, RedBlue(720, 10)));
  sink.Push(short_frame);
  ASSERT_TRUE(sink.WaitIdle(kWaitMs));
  EXPECT_EQ(sink.Picture().sequence, 8);
  sink.Stop();
  sink.Stop();
  sink.Push(Tick(110, 720, 576, RedBlue(720, 576)));
  EXPECT_EQ(sink.Stats().received, 55);  // none after the stop
}

TEST(ThumbnailOutput, MetersFollowTheTicksSoundEveryFifthOfASecond) {
  CThumbnailOutput sink;
  const auto pixels = RedBlue(64, 36);
  EXPECT_EQ(sink.Meters().sequence, 0);
  EXPECT_EQ(sink.Meters().peaks_dbfs, (std::vector<double>{kSilenceDbfs, kSilenceDbfs}));
  // Twenty ticks of 960 sample frames: two windows. The first has the left channel at half
  // scale, the second a full-scale right channel.
  for (std::int64_t tick = 0; tick < 20; ++tick) {
    auto frame = std::make_shared<ProgramFrame>(*Tick(tick, 64, 36, pixels));
    if (tick == 2) frame->sound[100 * 2] = -16384;
    if (tick == 15) frame->sound[5 * 2 + 1] = 32767;
    sink.Push(frame);
    if (tick == 9) {
      const ThumbnailMeters meters = sink.Meters();
      EXPECT_EQ(meters.sequence, 1);
      ASSERT_EQ(meters.peaks_dbfs.size(), 2u);
      EXPECT_NEAR(meters.peaks_dbfs[0], -6.02, 0.01);
      EXPECT_DOUBLE_EQ(meters.peaks_dbfs[1], kSilenceDbfs);
    }
  }
  const ThumbnailMeters meters = sink.Meters();
  EXPECT_EQ(meters.sequence, 2);
  EXPECT_DOUBLE_EQ(meters.peaks_dbfs[0], kSilenceDbfs);
  EXPECT_NEAR(meters.peaks_dbfs[1], 0.0, 0.001);
}

}  // namespace
}  // namespace vxr
