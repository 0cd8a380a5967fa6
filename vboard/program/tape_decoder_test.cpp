#include "vboard/program/tape_decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "testing/media/tape_edits.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "testing/wait_for.h"
#include "vboard/program/decode_planner.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr int kWaitMs = 10000;
constexpr std::int64_t kSlowPictures = 1000;
constexpr std::int64_t kDefaultDuration = 40;  // a picture at 25 in milliseconds
constexpr int kSmallWidth = 320;               // the long-group tapes' pictures
constexpr int kSmallHeight = 240;

// The output stands on cue of tape with the player's queue of a reverse jog after it (three
// pictures back).
CTapeDecoder::OutlookSource ReverseJogFrom(std::shared_ptr<CSuperClip> tape, std::int64_t cue) {
  return [tape, cue](std::size_t) {
    CTimeline::Outlook outlook;
    outlook.on_output = CTimeline::TapePicture{tape, cue};
    for (std::int64_t n = 1; n <= 3; ++n) {
      outlook.next.push_back(CTimeline::TapePicture{tape, cue - n});
    }
    outlook.advancing = true;
    return outlook;
  };
}

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
  // A 320 x 240 H.264 tape of frames pictures, a key frame every gop; empty when it cannot be
  // made.
  std::string LongGroupTape(const std::string& name, std::uint32_t frames, std::uint32_t gop) {
    TapeSpec spec;
    spec.width = kSmallWidth;
    spec.height = kSmallHeight;
    spec.frames = frames;
    spec.codec = TapeCodec::kH264;
    spec.gop = gop;
    std::string error;
    const std::string path = testing::MakeTestTape(folder_, name, spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }
  // Limits whose store keeps room pictures of such a tape as decoded (8-bit 4:2:0).
  static DecoderLimits KeepingRoomFor(std::int64_t room) {
    DecoderLimits limits;
    limits.max_kept_bytes = static_cast<std::size_t>(room * kSmallWidth * kSmallHeight * 3 / 2);
    return limits;
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
  CTapeDecoder decoder(ReverseJogFrom(tape, kCue));
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

// A reverse jog deep into a long group keeps the pictures of the run back within the budget, and
// what the store lets go on the way is freed on the way: the decoding never holds more kept
// pictures than the budget has room for (each holds one of the library's picture buffers).
TEST_F(TapeDecoderTest, ARunBackThroughALongGroupHoldsNoMoreKeptPicturesThanTheBudget) {
  constexpr std::int64_t kCue = 190;
  constexpr std::int64_t kRoom = 8;   // kept pictures the budget holds
  constexpr std::int64_t kSlack = 3;  // the one coming in, the one going, one being converted
  const std::string path = LongGroupTape("long.mkv", 200, 200);
  ASSERT_FALSE(path.empty());
  const std::shared_ptr<CSuperClip> tape = TapeOf(path);
  const DecoderLimits limits = KeepingRoomFor(kRoom);
  const std::int64_t alive_before = CRawPicture::Alive();
  std::atomic<std::int64_t> most{0};
  CTapeDecoder decoder(ReverseJogFrom(tape, kCue), limits, nullptr, [&](const std::atomic<bool>&) {
    const std::int64_t alive = CRawPicture::Alive() - alive_before;
    if (alive > most.load()) most = alive;
  });
  ASSERT_TRUE(decoder.WaitIdle(10000));
  EXPECT_TRUE(decoder.Lookup(tape.get(), kCue - 1).exact);
  EXPECT_GT(decoder.stats().kept, 0u);
  EXPECT_LE(most.load(), kRoom + kSlack);
}

// A cue far from where the output stood, into a long group, then motions from the cue in
// either direction. The walk to the cued picture keeps the pictures before it that a reverse
// motion shows (not those near the old place, which is where the output still stands while the
// cue is prepared), and once it stands on the cue the next pictures after it are decoded while
// the decoder is still there. A reverse jog then takes the budget's worth of pictures back
// without reading a packet, and a forward jog finds its first pictures in the store at once.
TEST_F(TapeDecoderTest, ACueLeavesThePicturesAroundItReadyForAMotionEitherWay) {
  constexpr std::int64_t kCue = 200;  // in the first group of 250
  constexpr std::int64_t kRoom = 40;  // kept pictures the budget holds, at w x h x 1.5
  constexpr std::int64_t kJogBack = 16;
  const std::string path = LongGroupTape("cue.mkv", 300, 250);
  ASSERT_FALSE(path.empty());
  const std::shared_ptr<CSuperClip> tape = TapeOf(path);
  ASSERT_FALSE(::testing::Test::HasFailure());
  const DecoderLimits limits = KeepingRoomFor(kRoom);

  std::mutex mutex;  // guards outlook
  CTimeline::Outlook outlook;
  auto show = [&](std::int64_t on_output, std::vector<std::int64_t> next, bool advancing,
                  bool to_come = false) {
    std::lock_guard lock(mutex);
    outlook.on_output = CTimeline::TapePicture{tape, on_output};
    outlook.next.clear();
    for (const std::int64_t frame : next) outlook.next.push_back({tape, frame});
    outlook.advancing = advancing;
    outlook.queue_to_come = to_come;
  };
  show(0, {}, false);
  std::atomic<int> packets{0};
  CTapeDecoder decoder(
      [&](std::size_t) {
        std::lock_guard lock(mutex);
        return outlook;
      },
      limits, nullptr, [&](const std::atomic<bool>&) { ++packets; });
  ASSERT_TRUE(decoder.WaitIdle(kWaitMs));
  const CDecodePlanner planner(limits);
  const auto ahead = static_cast<std::int64_t>(planner.AheadCount());
  ASSERT_GE(ahead, 1);
  auto exact = [&](std::int64_t frame) {
    const CTapeDecoder::Found found = decoder.Lookup(tape.get(), frame);
    return found.exact && found.picture && testing::StripOf(*found.picture) == frame;
  };
  for (std::int64_t frame = 0; frame <= ahead; ++frame) EXPECT_TRUE(exact(frame)) << frame;

  // Preparing the cue: the output still shows 0, the cued picture is queued.
  const int before_cue = packets.load();
  show(0, {kCue}, false, true);
  decoder.Nudge();
  ASSERT_TRUE(decoder.WaitIdle(kWaitMs));
  show(kCue, {}, false);
  decoder.Nudge();
  ASSERT_TRUE(decoder.WaitIdle(kWaitMs));
  const int walked = packets.load() - before_cue;
  EXPECT_LT(walked, kCue + kCue / 2) << "the group was walked more than once";
  EXPECT_TRUE(exact(kCue));
  for (std::int64_t frame = kCue + 1; frame <= kCue + ahead; ++frame) {
    EXPECT_TRUE(exact(frame)) << "ahead of the cue: " << frame;
  }
  EXPECT_FALSE(decoder.Lookup(tape.get(), kCue + ahead + 1).exact);
  for (std::int64_t frame = kCue - ahead; frame < kCue; ++frame) {
    EXPECT_TRUE(exact(frame)) << "before the cue, converted: " << frame;
  }
  EXPECT_FALSE(decoder.Lookup(tape.get(), kCue - ahead - 1).exact);
  // The budget full of the pictures before the cue (a kept picture's size is the library's,
  // padding included).
  const CTapeDecoder::Stats cued = decoder.stats();
  ASSERT_GT(cued.kept, 0u);
  EXPECT_EQ(cued.kept, limits.max_kept_bytes / (cued.kept_bytes / cued.kept));
  const auto kept = static_cast<std::int64_t>(cued.kept);

  // A reverse jog from the cue, step by step: every picture from the store, no packet read.
  const int at_cue = packets.load();
  for (std::int64_t output = kCue; output > kCue - kJogBack; --output) {
    show(output, {output - 1, output - 2, output - 3}, true);
    decoder.Nudge();
    ASSERT_TRUE(decoder.WaitIdle(kWaitMs));
    EXPECT_TRUE(exact(output - 1)) << "back from the cue: " << output - 1;
  }
  EXPECT_LT(kJogBack, kept);
  EXPECT_EQ(packets.load(), at_cue);

  // Back on the cue, then a forward jog: its first pictures are there before the decoder looks.
  show(kCue, {}, false);
  decoder.Nudge();
  ASSERT_TRUE(decoder.WaitIdle(kWaitMs));
  show(kCue, {kCue + 1, kCue + 2, kCue + 3}, true);
  for (std::int64_t frame = kCue + 1; frame <= kCue + std::min<std::int64_t>(ahead, 3); ++frame) {
    EXPECT_TRUE(exact(frame)) << "forward from the cue: " << frame;
  }
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
