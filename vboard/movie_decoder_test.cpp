#include "vboard/movie_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "player/clv_results.h"
#include "testing/media/test_tapes.h"
#include "tools/maketape/av_handles.h"
#include "tools/maketape/tape_picture.h"
#include "vboard/test_pictures.h"

namespace vxr {
namespace {

// A tape coded with inter-coded pictures: MPEG-4 part 2 in AVI, a key frame every gop pictures
// and B pictures between, so that decoding order differs from showing order.
bool WriteLongGopTape(const std::string& path, int frames, int gop) {
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "avi", path.c_str()) < 0) return false;
  AvOutputHandle output(raw);
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (encoder == nullptr) return false;
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  AvCodecHandle codec(avcodec_alloc_context3(encoder));
  AvFrameHandle frame(av_frame_alloc());
  AvPacketHandle packet(av_packet_alloc());
  if (stream == nullptr || !codec || !frame || !packet) return false;
  codec->width = 64;
  codec->height = 48;
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->time_base = AVRational{1, 25};
  codec->framerate = AVRational{25, 1};
  codec->gop_size = gop;
  codec->max_b_frames = 2;
  codec->flags |= AV_CODEC_FLAG_QSCALE;
  codec->global_quality = FF_QP2LAMBDA * 2;
  if (avcodec_open2(codec.get(), encoder, nullptr) < 0 ||
      avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0) {
    return false;
  }
  stream->time_base = codec->time_base;
  stream->avg_frame_rate = codec->framerate;
  if (avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(output.get(), nullptr) < 0) {
    return false;
  }
  frame->format = codec->pix_fmt;
  frame->width = codec->width;
  frame->height = codec->height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return false;
  const auto drain = [&](AVFrame* picture) {
    if (avcodec_send_frame(codec.get(), picture) < 0) return false;
    while (avcodec_receive_packet(codec.get(), packet.get()) >= 0) {
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      if (av_interleaved_write_frame(output.get(), packet.get()) < 0) return false;
    }
    return true;
  };
  for (int n = 0; n < frames; ++n) {
    if (av_frame_make_writable(frame.get()) < 0) return false;
    DrawTapePicture(frame->data[0], frame->linesize[0], 64, 48, static_cast<std::uint32_t>(n), 25);
    for (int plane = 1; plane <= 2; ++plane) {
      for (int row = 0; row < 24; ++row) std::memset(frame->data[plane] + row * frame->linesize[plane], 128, 32);
    }
    frame->pts = n;
    if (!drain(frame.get())) return false;
  }
  return drain(nullptr) && av_write_trailer(output.get()) >= 0;
}

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
  bystanders.wants = [](std::uint32_t n) { return n == 26 || n == 28; };
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
  EXPECT_EQ(decoder.Open(folder_.WriteFile("text.avi", "not a movie at all")),
            CLV_E_NOT_A_MOVIE);
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

}  // namespace
}  // namespace vxr
