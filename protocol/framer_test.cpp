#include "protocol/framer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vxr {
namespace {

using Bytes = std::vector<std::uint8_t>;
using State = CFramer::State;

CFramer::Time At(double ms) {
  return CFramer::Time{} + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double, std::milli>(ms));
}

Bytes WithChecksum(Bytes frame) {
  frame.push_back(
      static_cast<std::uint8_t>(Checksum(frame.data(), static_cast<int>(frame.size()))));
  return frame;
}

// Feeds bytes all read at time ms; the frames they complete, in order.
std::vector<Bytes> Feed(CFramer& framer, const Bytes& bytes, double ms) {
  std::vector<Bytes> frames;
  for (std::uint8_t b : bytes) {
    if (framer.Feed(b, At(ms))) {
      frames.emplace_back(framer.Frame(), framer.Frame() + framer.FrameSize());
    }
  }
  return frames;
}

const Bytes kCue = {0x24, 0x31, 0x00, 0x10, 0x00, 0x00, 0x65};
const Bytes kPlay = {0x20, 0x01, 0x21};

TEST(Framer, WalksThroughItsStatesWithTheirDeadlines) {
  CFramer framer;
  EXPECT_EQ(framer.state(), State::kIdle);
  EXPECT_FALSE(framer.Deadline());  // the first byte is waited for without limit
  EXPECT_EQ(framer.Wanted(), 3);
  EXPECT_FALSE(framer.Quiet(At(60000)));

  EXPECT_TRUE(Feed(framer, {0x24}, 1000).empty());
  EXPECT_EQ(framer.state(), State::kHead);
  EXPECT_EQ(framer.Deadline(), At(1010));
  EXPECT_EQ(framer.Wanted(), 2);
  EXPECT_TRUE(Feed(framer, {0x31, 0x00}, 1002).empty());
  EXPECT_EQ(framer.state(), State::kAwaitingData);
  EXPECT_EQ(framer.Deadline(), At(1102));
  EXPECT_EQ(framer.Wanted(), 4);
  // A pause after the head is waited out: 20 ms of quiet drops nothing.
  EXPECT_FALSE(framer.Quiet(At(1022)));
  EXPECT_TRUE(Feed(framer, {0x10}, 1022).empty());
  EXPECT_EQ(framer.state(), State::kData);
  EXPECT_EQ(framer.Deadline(), At(1032));
  EXPECT_EQ(framer.Wanted(), 3);
  EXPECT_EQ(Feed(framer, {0x00, 0x00, 0x65}, 1023), std::vector<Bytes>{kCue});
  EXPECT_EQ(framer.LastByteTime(), At(1023));
  EXPECT_EQ(framer.state(), State::kIdle);
  EXPECT_FALSE(framer.Deadline());
  EXPECT_EQ(framer.DroppedFrames(), 0);
}

TEST(Framer, QuietInsideAFrameDropsItAndTheNextByteStartsAHead) {
  CFramer framer;
  // Quiet inside the data, from the last byte's time: not before 10 ms, at 10 ms it drops.
  Feed(framer, {0x24, 0x31, 0x00, 0x10, 0x00}, 0);
  EXPECT_FALSE(framer.Quiet(At(9.9)));
  EXPECT_TRUE(framer.Quiet(At(10)));
  EXPECT_EQ(framer.state(), State::kIdle);
  // The controller abandoned it and sends its next frame.
  EXPECT_EQ(Feed(framer, kPlay, 20), std::vector<Bytes>{kPlay});

  // Quiet inside the head.
  Feed(framer, {0x20, 0x01}, 100);
  EXPECT_TRUE(framer.Quiet(At(110)));
  EXPECT_EQ(Feed(framer, kPlay, 130), std::vector<Bytes>{kPlay});

  // A stray byte and two more make a head announcing 15 bytes; its data never comes.
  Feed(framer, {0x6F, 0x00, 0x00}, 200);
  EXPECT_FALSE(framer.Quiet(At(299)));
  EXPECT_TRUE(framer.Quiet(At(300)));
  EXPECT_EQ(Feed(framer, kPlay, 400), std::vector<Bytes>{kPlay});

  // The rest of a broken frame, sent on after the drop, is taken as a head of its own.
  Feed(framer, {0x24, 0x31, 0x00, 0x10, 0x00}, 500);
  EXPECT_TRUE(framer.Quiet(At(520)));
  const Bytes rest_as_head = {0x00, 0x65, 0x20};
  EXPECT_EQ(Feed(framer, rest_as_head, 530), std::vector<Bytes>{rest_as_head});

  // A failed read drops the frame under way too; with none under way it drops nothing.
  Feed(framer, {0x61, 0x20}, 600);
  framer.Reset();
  EXPECT_EQ(framer.state(), State::kIdle);
  framer.Reset();
  EXPECT_EQ(framer.DroppedFrames(), 5);
}

TEST(Framer, BytesReadLateAreTakenAsTheControllerSentThem) {
  // A receiver that comes late to bytes already in the driver has seen no quiet: the frame is
  // whole, whatever the gap between the times it read them.
  CFramer framer;
  Feed(framer, {0x24, 0x31}, 0);
  EXPECT_TRUE(Feed(framer, {0x00}, 30).empty());
  EXPECT_EQ(Feed(framer, {0x10, 0x00, 0x00, 0x65}, 250), std::vector<Bytes>{kCue});
  EXPECT_EQ(framer.DroppedFrames(), 0);
}

TEST(Framer, StreamsOfEveryLengthWithGarbageAndQuietComeOutWhole) {
  std::mt19937 random(20240611);
  auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  CFramer framer;
  double now = 0;
  for (int round = 0; round < 300; ++round) {
    // Garbage of any length, read in pieces, then the quiet that ends whatever it began.
    Bytes garbage(static_cast<std::size_t>(pick(1, 40)));
    for (auto& b : garbage) b = static_cast<std::uint8_t>(pick(0, 255));
    for (std::size_t at = 0; at < garbage.size(); at += 7) {
      const Bytes piece(
          garbage.begin() + static_cast<std::ptrdiff_t>(at),
          garbage.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, garbage.size())));
      for (const Bytes& frame : Feed(framer, piece, now)) {
        EXPECT_EQ(static_cast<int>(frame.size()), FrameLength(frame[0]));
      }
      now += 0.5;
    }
    if (const auto deadline = framer.Deadline()) {
      EXPECT_FALSE(framer.Quiet(*deadline - std::chrono::microseconds(1)));
      EXPECT_TRUE(framer.Quiet(*deadline));
      now = std::chrono::duration<double, std::milli>(*deadline - At(0)).count();
    }
    ASSERT_EQ(framer.state(), State::kIdle);

    // Then good frames of every length back to back, read in pieces of any size up to what
    // the framer wants, each answered once and whole.
    std::vector<Bytes> sent;
    Bytes stream;
    for (int i = 0; i < 5; ++i) {
      const int n = pick(0, 15);
      Bytes frame = {static_cast<std::uint8_t>(0x60 | n), static_cast<std::uint8_t>(i)};
      for (int k = 0; k < n; ++k) frame.push_back(static_cast<std::uint8_t>(pick(0, 255)));
      frame = WithChecksum(frame);
      sent.push_back(frame);
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
    std::vector<Bytes> got;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t piece = std::min<std::size_t>(
          static_cast<std::size_t>(pick(1, framer.Wanted())), stream.size() - at);
      const Bytes bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                        stream.begin() + static_cast<std::ptrdiff_t>(at + piece));
      const auto frames = Feed(framer, bytes, now);
      got.insert(got.end(), frames.begin(), frames.end());
      at += piece;
      now += 0.3;
    }
    ASSERT_EQ(got, sent) << "round " << round;
  }
}

}  // namespace
}  // namespace vxr
