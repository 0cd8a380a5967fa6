#include "vboard/media/movie_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "player/clv_results.h"
#include "testing/media/tape_edits.h"
#include "testing/media/tape_picture.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "vboard/media/movie_probe.h"
#include "vboard/media/pixel_buffers.h"

namespace vxr {
namespace {

using testing::PacketWriter;
using testing::RewritePackets;
using testing::WriteLongGopTape;

// Decodes frame and reads its strip; -1 when the decoder fails, -2 when the strip is unreadable.
std::int64_t NumberAt(CMovieDecoder& decoder, std::uint32_t frame) {
  std::shared_ptr<const Picture> picture;
  if (FAILED(decoder.Decode(frame, &picture)) || !picture) return -1;
  const std::optional<std::uint32_t> number = testing::StripOf(*picture);
  return number ? static_cast<std::int64_t>(*number) : -2;
}

class MovieDecoderTest : public ::testing::Test {
 protected:
  std::string Tape(const std::string& name, std::uint32_t frames) {
    TapeSpec spec = testing::SmallTape(1.0);
    spec.frames = frames;
    std::string error;
    const std::string path = testing::MakeTestTape(folder_, name, spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }
  testing::TempFolder folder_;
};

TEST_F(MovieDecoderTest, EveryPictureInAnyOrderIsTheOneAskedFor) {
  const std::string path = Tape("tape.avi", 60);
  CMovieDecoder decoder;
  ASSERT_EQ(decoder.Open(path), S_OK);
  EXPECT_TRUE(decoder.IntraOnly());

  std::shared_ptr<const Picture> picture;
  ASSERT_EQ(decoder.Decode(0, &picture), S_OK);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->width, 64);
  EXPECT_EQ(picture->height, 48);
  ASSERT_EQ(picture->pixels.size(), 64u * 48u);
  EXPECT_TRUE(std::all_of(picture->pixels.begin(), picture->pixels.end(),
                          [](std::uint32_t pixel) { return (pixel >> 24) == 0xff; }));

  // Reading on: the next pictures need no seek.
  const std::int64_t seeks = decoder.seeks();
  for (std::uint32_t n = 1; n < 20; ++n) EXPECT_EQ(NumberAt(decoder, n), n);
  EXPECT_EQ(decoder.seeks(), seeks);

  // Backwards, by twos and in random order.
  for (std::uint32_t n = 59; n > 40; n -= 2) EXPECT_EQ(NumberAt(decoder, n), n);
  std::vector<std::uint32_t> order(60);
  for (std::uint32_t n = 0; n < 60; ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (std::uint32_t n : order) EXPECT_EQ(NumberAt(decoder, n), n);
  // The same picture twice in a row, and beyond the end (the next good one still comes).
  EXPECT_EQ(NumberAt(decoder, 33), 33);
  EXPECT_EQ(NumberAt(decoder, 33), 33);
  EXPECT_EQ(NumberAt(decoder, 60), -1);
  EXPECT_EQ(NumberAt(decoder, 1000000), -1);
  EXPECT_EQ(NumberAt(decoder, 12), 12);

  // A picture let go leaves its buffer to the next picture of its size, which fills it anew;
  // a few are kept at the most, and none once released.
  CPixelBuffers::Release();
  picture.reset();
  ASSERT_EQ(CPixelBuffers::Spares(), 1u);
  std::vector<std::shared_ptr<const Picture>> held(CPixelBuffers::kMaxSpares + 2);
  for (std::uint32_t n = 0; n < held.size(); ++n) {
    ASSERT_EQ(decoder.Decode(7 + n, &held[n]), S_OK);
    EXPECT_EQ(CPixelBuffers::Spares(), 0u);
    EXPECT_EQ(testing::StripOf(*held[n]), 7 + n);
    EXPECT_TRUE(std::all_of(held[n]->pixels.begin(), held[n]->pixels.end(),
                            [](std::uint32_t pixel) { return (pixel >> 24) == 0xff; }));
  }
  held.clear();
  EXPECT_EQ(CPixelBuffers::Spares(), CPixelBuffers::kMaxSpares);
  CPixelBuffers::Release();
  EXPECT_EQ(CPixelBuffers::Spares(), 0u);
}

TEST_F(MovieDecoderTest, InterCodedMovieSeeksToTheKeyFrameAndDecodesForward) {
  const std::string path = folder_.File("gop.avi");
  ASSERT_TRUE(WriteLongGopTape(path, 60, 12));
  CMovieDecoder decoder;
  ASSERT_EQ(decoder.Open(path), S_OK);
  EXPECT_FALSE(decoder.IntraOnly());
  for (std::uint32_t n = 0; n < 60; ++n) EXPECT_EQ(NumberAt(decoder, n), n);
  for (std::uint32_t n = 59; n < 60; n -= 3) EXPECT_EQ(NumberAt(decoder, n), n);
  std::vector<std::uint32_t> order(60);
  for (std::uint32_t n = 0; n < 60; ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), std::mt19937(11));
  for (std::uint32_t n : order) EXPECT_EQ(NumberAt(decoder, n), n);

  // Pictures decoded on the way to a later one are offered to whoever wants them.
  std::vector<std::uint32_t> offered;
  CMovieDecoder::Bystanders bystanders;
  bystanders.wants = [](std::uint32_t n) {
    return n == 26 || n == 28 ? CMovieDecoder::Want::kPicture : CMovieDecoder::Want::kNo;
  };
  bystanders.take = [&](std::uint32_t n, std::shared_ptr<const Picture> picture) {
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(testing::StripOf(*picture), n);
    offered.push_back(n);
  };
  std::shared_ptr<const Picture> picture;
  ASSERT_EQ(decoder.Decode(5, &picture), S_OK);  // somewhere else first
  ASSERT_EQ(decoder.Decode(29, &picture, &bystanders), S_OK);
  EXPECT_EQ(testing::StripOf(*picture), 29u);
  EXPECT_EQ(offered, (std::vector<std::uint32_t>{26, 28}));
}

TEST_F(MovieDecoderTest, DamagedOrCutMoviesFailPictureByPictureAndTheRestStillDecodes) {
  CMovieDecoder decoder;
  std::shared_ptr<const Picture> picture;
  EXPECT_EQ(decoder.Decode(0, &picture), OLE_E_NOTRUNNING);
  EXPECT_EQ(decoder.Open(folder_.File("missing.avi")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(decoder.Open(folder_.WriteFile("text.avi", "not a movie at all")), CLV_E_NOT_A_MOVIE);
  EXPECT_EQ(decoder.Decode(0, &picture), OLE_E_NOTRUNNING);

  // Pictures 20 to 29 damaged in the middle of their data.
  const std::string path = Tape("damaged.avi", 50);
  std::string bytes = testing::ReadFileBytes(path);
  ASSERT_EQ(testing::AviPictures(bytes).size(), 50u);
  ASSERT_TRUE(testing::DamageAviPictures(&bytes, 20, 30, 0.25, 3));
  folder_.WriteFile("damaged.avi", bytes);
  ASSERT_EQ(decoder.Open(path), S_OK);
  for (std::uint32_t n = 0; n < 50; ++n) {
    const std::int64_t number = NumberAt(decoder, n);
    if (n < 20 || n >= 30) {
      EXPECT_EQ(number, n);
    } else {
      // A damaged picture fails, or decodes as what it can; it is never another picture.
      EXPECT_TRUE(number == n || number < 0) << n << " read as " << number;
    }
  }
  EXPECT_EQ(NumberAt(decoder, 31), 31);

  // Cut to half after it was opened, as when the file shrinks under the deck.
  const std::string cut = Tape("cut.avi", 400);
  ASSERT_EQ(decoder.Open(cut), S_OK);
  EXPECT_EQ(NumberAt(decoder, 10), 10);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
  EXPECT_EQ(NumberAt(decoder, 390), -1);
  EXPECT_EQ(NumberAt(decoder, 399), -1);
  EXPECT_EQ(NumberAt(decoder, 3), 3);
  EXPECT_EQ(NumberAt(decoder, 4), 4);
}

TEST_F(MovieDecoderTest, SoundTracksCostThePictureSearchAndTheProbeNothing) {
  // One key frame for 300 pictures and 32 sound packets beside each picture.
  TapeSpec spec = testing::SmallTape(12.0);
  spec.codec = TapeCodec::kMpeg4;
  spec.gop = 300;
  spec.audio_tracks = 8;
  std::string error;
  const std::string path = testing::MakeTestTape(folder_, "sound.mkv", spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  MovieFacts facts;
  ASSERT_EQ(ProbeMovie(path, &facts), S_OK);
  EXPECT_EQ(facts.frame_count, 300u);
  CMovieDecoder decoder;
  ASSERT_EQ(decoder.Open(path), S_OK);
  EXPECT_EQ(NumberAt(decoder, 299), 299);
  EXPECT_EQ(NumberAt(decoder, 150), 150);
}

TEST_F(MovieDecoderTest, AMovieCutInsideAnOpenGroupIsNumberedAsTheProbeCountsIt) {
  // Key frames every 12 pictures, with the B pictures before each referring across it.
  TapeSpec spec = testing::SmallTape(2.0);
  spec.codec = TapeCodec::kMpeg4;
  spec.gop = 12;
  std::string error;
  const std::string whole = testing::MakeTestTape(folder_, "whole.mkv", spec, &error);
  ASSERT_FALSE(whole.empty()) << error;
  // Cut at the second key frame, as a cut that keeps whole packets does: its leading B
  // pictures stay, without the pictures they refer to.
  int key = -1;
  std::int64_t first_pts = INT64_MAX;
  ASSERT_TRUE(RewritePackets(whole, folder_.File("scratch.mkv"),
                             [&](int index, const AVPacket& packet, const PacketWriter&) {
                               if (index > 0 && (packet.flags & AV_PKT_FLAG_KEY) && key < 0) {
                                 key = index;
                               }
                               if (key >= 0) first_pts = std::min(first_pts, packet.pts);
                               return true;
                             }));
  ASSERT_GT(key, 0);
  const std::string cut = folder_.File("cut.mkv");
  ASSERT_TRUE(
      RewritePackets(whole, cut, [&](int index, const AVPacket& packet, const PacketWriter& write) {
        return index < key || write(packet.pts - first_pts);
      }));
  const auto first = static_cast<std::int64_t>(std::llround(first_pts * 25 / 1000.0));  // ms
  ASSERT_EQ(first, 10);  // pictures 10 and 11 lead picture 12, the key frame

  MovieFacts facts;
  ASSERT_EQ(ProbeMovie(cut, &facts), S_OK);
  ASSERT_EQ(facts.frame_count, 40u);
  CMovieDecoder decoder;
  ASSERT_EQ(decoder.Open(cut), S_OK);
  int lost = 0;
  for (std::uint32_t n = 0; n < facts.frame_count; ++n) {
    const std::int64_t number = NumberAt(decoder, n);
    if (number == -1) {
      ++lost;
    } else {
      EXPECT_EQ(number, first + n) << n;
    }
  }
  EXPECT_GT(lost, 0);  // the cut did cut references
  EXPECT_LE(lost, 2);
  EXPECT_EQ(NumberAt(decoder, 2), 12);
  EXPECT_EQ(NumberAt(decoder, facts.frame_count - 1), 49);
}

// Variable frame rate: a picture shows until the next one starts, so the frames of a gap in the
// stream show the picture before it, in any order, read on or sought, intra-coded or not.
TEST_F(MovieDecoderTest, FramesInAGapOfAVariableRateStreamShowThePictureBefore) {
  constexpr std::uint32_t kFrames = 40;
  constexpr int kUneven = 5;  // frames 1, 6, 11, ... show for three frame periods
  for (const char* encoder : {"mjpeg", "libx264"}) {
    if (avcodec_find_encoder_by_name(encoder) == nullptr) continue;
    SCOPED_TRACE(encoder);
    TapeSpec spec = testing::SmallTape(1.0);
    spec.frames = kFrames;
    spec.encoder = encoder;
    spec.encoder_options = std::string(encoder) == "libx264" ? "preset=superfast" : "";
    spec.pixel_format = std::string(encoder) == "mjpeg" ? "yuvj420p" : "yuv420p";
    spec.uneven = kUneven;
    const bool intra = std::string(encoder) == "mjpeg";
    spec.gop = intra ? 1 : 12;
    spec.b_frames = intra ? 0 : 2;
    std::string error;
    const std::string path =
        testing::MakeTestTape(folder_, std::string(encoder) + "_vfr.mkv", spec, &error);
    ASSERT_FALSE(path.empty()) << error;
    ASSERT_EQ(PictureShownAt(spec, 2), 1u);
    ASSERT_EQ(PictureShownAt(spec, 3), 1u);
    ASSERT_EQ(PictureShownAt(spec, 4), 4u);
    CMovieDecoder decoder;
    ASSERT_EQ(decoder.Open(path), S_OK);
    for (std::uint32_t n = 0; n < kFrames; ++n)
      EXPECT_EQ(NumberAt(decoder, n), PictureShownAt(spec, n)) << n;
    std::vector<std::uint32_t> order(kFrames);
    for (std::uint32_t n = 0; n < kFrames; ++n) order[n] = n;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    for (const std::uint32_t n : order)
      EXPECT_EQ(NumberAt(decoder, n), PictureShownAt(spec, n)) << n;
  }
}

}  // namespace
}  // namespace vxr
