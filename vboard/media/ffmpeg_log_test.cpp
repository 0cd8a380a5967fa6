#include "vboard/media/ffmpeg_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "platform/diagnostics.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "vboard/media/movie_decoder.h"

namespace vxr {
namespace {

// Collects the diagnostics while it lives; the library may speak from its own threads.
class CapturedDiagnostics {
 public:
  CapturedDiagnostics() {
    previous_ = SetDiagnosticSink([this](std::string_view tag, std::string_view text) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::string(tag) + ": " + std::string(text));
    });
  }
  ~CapturedDiagnostics() { SetDiagnosticSink(previous_); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  DiagnosticSink previous_;
  mutable std::mutex mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

// A damaged tape with a program stream running: the decoder's complaints about every damaged
// picture stay unsaid (the pictures fail, which is the result), while what a muxer, an encoder
// or a protocol says comes through the diagnostics with its secrets hidden.
TEST(FfmpegLog, TheInputSideStaysQuietWhileTheStreamSideIsRoutedRedacted) {
  RouteFfmpegLog();
  CapturedDiagnostics captured;

  // Pictures 10 to 29 of an MJPEG tape damaged from a tenth of their data on.
  testing::TempFolder folder;
  TapeSpec recipe = testing::SmallTape(1.0);
  recipe.frames = 40;
  std::string error;
  const std::string path = testing::MakeTestTape(folder, "damaged.avi", recipe, &error);
  ASSERT_FALSE(path.empty()) << error;
  std::string bytes = testing::ReadFileBytes(path);
  ASSERT_TRUE(testing::DamageAviPictures(&bytes, 10, 30, 0.1, 7));
  folder.WriteFile("damaged.avi", bytes);
  const std::int64_t quiet_before = QuietFfmpegMessages();
  CMovieDecoder decoder;
  ASSERT_EQ(decoder.Open(path), S_OK);
  for (std::uint32_t n = 0; n < recipe.frames; ++n) {
    std::shared_ptr<const Picture> picture;
    decoder.Decode(n, &picture);
  }
  EXPECT_GT(QuietFfmpegMessages(), quiet_before) << "the damage gave the decoder nothing to say";
  EXPECT_TRUE(captured.lines().empty()) << captured.lines().front();

  // The stream side: a muxer and an encoder speak; their chatter below errors stays unsaid.
  AVFormatContext* muxer = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&muxer, nullptr, "mpegts", nullptr), 0);
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> muxer_owner(
      muxer, [](AVFormatContext* context) { avformat_free_context(context); });
  av_log(muxer, AV_LOG_ERROR, "Connection to srt://deck:9000?passphrase=open-sesame&mode=x\n");
  av_log(muxer, AV_LOG_INFO, "chatter\n");
  AVCodecContext* encoder = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_MJPEG));
  ASSERT_NE(encoder, nullptr);
  av_log(encoder, AV_LOG_ERROR, "encoder failed secret=s3\n");
  avcodec_free_context(&encoder);
  // A decoder's context speaks for the input side, at any level.
  AVCodecContext* input = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_MJPEG));
  ASSERT_NE(input, nullptr);
  av_log(input, AV_LOG_PANIC, "decoder panic\n");
  avcodec_free_context(&input);

  const std::vector<std::string> lines = captured.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("FFmpeg: [mpegts @ "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("srt://deck:9000?passphrase=***&mode=x"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("FFmpeg: [mjpeg @ "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("encoder failed secret=***"), std::string::npos) << lines[1];
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("open-sesame"), std::string::npos);
    EXPECT_EQ(line.find("s3"), std::string::npos);
  }
}

}  // namespace
}  // namespace vxr
