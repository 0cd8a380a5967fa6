#include "vboard/program/tape_decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/packet.h>
}

#include "testing/media/tape_edits.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "testing/wait_for.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 10000;
constexpr std::int64_t kSlowPictures = 1000;
constexpr std::int64_t kDefaultDuration = 40;  // a picture at 25 in milliseconds

class TapeDecoderTest : public ::testing::Test {
 protected:
  std::shared_ptr<CSuperClip> TapeOf(const std::string& path) {
    auto movie = std::make_shared<CMovie>();
    EXPECT_EQ(movie->OpenFile(path), S_OK);
    auto tape = std::make_shared<CSuperClip>(25.0);
    EXPECT_EQ(tape->AddMovie(movie), S_OK);
    return tape;
  }
  // 1000 pictures after one key frame: the last one takes long to reach. Made cheaply from two
  // coded pictures, the second written 999 times. Small pictures: what the library still has in
  // hand when the decoder stops (a picture or two on its frame threads) costs little to finish.
  // Null when the tape cannot be made.
  std::shared_ptr<CSuperClip> SlowTape() {
    TapeSpec recipe;
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 2;
    recipe.codec = TapeCodec::kMpeg4;
    recipe.gop = 600;
    recipe.b_frames = 0;
    std::string error;
    const std::string two = testing::MakeTestTape(folder_, "two.mkv", recipe, &error);
    if (two.empty()) return nullptr;
    const std::string slow = folder_.File("slow.mkv");
    std::int64_t step = 0;
    const bool made = testing::RewritePackets(
        two, slow, [&](int index, const AVPacket& packet, const testing::PacketWriter& write) {
          if (index == 0) {
            step = packet.duration > 0 ? packet.duration : kDefaultDuration;
            return write(packet.pts);
          }
          for (std::int64_t n = 1; n < kSlowPictures; ++n) {
            if (!write(n * step)) return false;
          }
          return true;
        });
    return made ? TapeOf(slow) : nullptr;
  }
  testing::TempFolder folder_;
};

// A reverse jog from a cue: before the output has shown a single step, the queue the player
// filled (three pictures back) turns the read-ahead backwards beyond the queue, and pictures
// ahead of the cue are not what it reads.
TEST_F(TapeDecoderTest, TheTapeDecoderReadsAheadInTheDirectionTheQueueCommands) {
  const std::string path = folder_.File("gop.avi");
  ASSERT_TRUE(testing::WriteLongGopTape(path, 60, 12));
  const std::shared_ptr<CSuperClip> tape = TapeOf(path);
  ASSERT_FALSE(::testing::Test::HasFailure());
  constexpr std::int64_t kCue = 40;
  CTapeDecoder decoder([tape](std::size_t) {
    CTimeline::Outlook outlook;
    outlook.on_output = CTimeline::TapePicture{tape, kCue};
    for (std::int64_t n = 1; n <= 3; ++n) {
      outlook.next.push_back(CTimeline::TapePicture{tape, kCue - n});
    }
    outlook.advancing = true;
    return outlook;
  });
  decoder.Seen(tape, kCue);  // the output has stood on the cue: nothing measured yet
  ASSERT_TRUE(decoder.WaitIdle(10000));
  const std::size_t read_ahead = DecoderLimits{}.read_ahead;
  for (std::int64_t frame = kCue; frame >= kCue - static_cast<std::int64_t>(read_ahead); --frame) {
    const CTapeDecoder::Found found = decoder.Lookup(tape.get(), frame);
    EXPECT_TRUE(found.exact) << "tape frame " << frame;
    if (found.picture) {
      EXPECT_EQ(testing::StripOf(*found.picture), frame);
    }
  }
  EXPECT_FALSE(decoder.Lookup(tape.get(), kCue + 1).exact);
}

// Destroying the decoder while a decoding is in progress stops it between two packets: the
// decoding is held between two packets well into a long run to the picture (the hook waits
// until the decoder is being destroyed), and no packet is read after the stop.
TEST_F(TapeDecoderTest, DestroyingTheTapeDecoderDuringASlowDecodeTakesMilliseconds) {
  const std::shared_ptr<CSuperClip> tape = SlowTape();
  ASSERT_TRUE(tape) << "no slow tape";

  constexpr int kHeldAtPacket = 10;  // of the 1000 the picture needs
  constexpr std::int64_t kStopBoundMs = 250;
  std::atomic<int> packets{0};     // packets read before the stop
  std::atomic<int> after_stop{0};  // packets the decoding went on to read after it
  std::atomic<bool> held{false};
  const CTapeDecoder::PacketHook hook = [&](const std::atomic<bool>& stopping) {
    if (stopping.load()) {
      ++after_stop;
      return;
    }
    if (++packets == kHeldAtPacket) {
      held = true;
      stopping.wait(false);  // until the decoder is being destroyed
    }
  };
  auto decoder = std::make_unique<CTapeDecoder>(
      [tape](std::size_t) {
        CTimeline::Outlook outlook;
        outlook.on_output = CTimeline::TapePicture{tape, kSlowPictures - 1};
        return outlook;
      },
      DecoderLimits{}, nullptr, hook);
  ASSERT_TRUE(testing::WaitFor([&] { return held.load(); }, kWaitMs));
  const CTapeDecoder::Stats stats = decoder->stats();
  EXPECT_TRUE(stats.decoding);
  EXPECT_EQ(stats.decoded, 0);  // the picture is still far off

  const auto stop = std::chrono::steady_clock::now();
  decoder.reset();
  const auto stop_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stop)
          .count();
  EXPECT_LT(stop_ms, kStopBoundMs);
  EXPECT_EQ(packets.load(), kHeldAtPacket);
  EXPECT_EQ(after_stop.load(), 0) << "the decoding read on after the stop";
}

}  // namespace
}  // namespace vxr
