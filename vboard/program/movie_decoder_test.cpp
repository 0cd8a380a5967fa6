#include "vboard/media/movie_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "player/clv_results.h"
#include "testing/media/av_handles.h"
#include "testing/media/tape_picture.h"
#include "testing/media/test_pictures.h"
#include "testing/media/test_tapes.h"
#include "vboard/program/tape_decoder.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"

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
      for (int row = 0; row < 24; ++row)
        std::memset(frame->data[plane] + row * frame->linesize[plane], 128, 32);
    }
    frame->pts = n;
    if (!drain(frame.get())) return false;
  }
  return drain(nullptr) && av_write_trailer(output.get()) >= 0;
}

// Rewrites the picture stream of a movie into a Matroska movie (sound is left behind): for each
// packet in decoding order, edit(index, packet, write) may write copies of it with write(pts),
// its decoding time moving with its showing time (both in the stream's time base).
using PacketWriter = std::function<bool(std::int64_t pts)>;
bool RewritePackets(const std::string& from, const std::string& to,
                    const std::function<bool(int, const AVPacket&, const PacketWriter&)>& edit) {
  AVFormatContext* raw_in = nullptr;
  if (avformat_open_input(&raw_in, from.c_str(), nullptr, nullptr) < 0) return false;
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
      raw_in, [](AVFormatContext* c) { avformat_close_input(&c); });
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return false;
  AVFormatContext* raw_out = nullptr;
  if (avformat_alloc_output_context2(&raw_out, nullptr, "matroska", to.c_str()) < 0) return false;
  AvOutputHandle output(raw_out);
  const AVStream* in_stream = input->streams[0];
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, in_stream->codecpar) < 0) {
    return false;
  }
  stream->codecpar->codec_tag = 0;
  stream->time_base = in_stream->time_base;
  stream->avg_frame_rate = in_stream->avg_frame_rate;
  if (avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(output.get(), nullptr) < 0) {
    return false;
  }
  AvPacketHandle packet(av_packet_alloc());
  AvPacketHandle copy(av_packet_alloc());
  const PacketWriter write = [&](std::int64_t pts) {
    if (av_packet_ref(copy.get(), packet.get()) < 0) return false;
    copy->dts = pts - (packet->pts - packet->dts);
    copy->pts = pts;
    copy->pos = -1;
    copy->stream_index = 0;
    av_packet_rescale_ts(copy.get(), in_stream->time_base, stream->time_base);
    return av_interleaved_write_frame(output.get(), copy.get()) >= 0;
  };
  for (int index = 0; av_read_frame(input.get(), packet.get()) >= 0;
       av_packet_unref(packet.get())) {
    if (packet->stream_index != 0) continue;
    if (!edit(index++, *packet, write)) return false;
  }
  return av_write_trailer(output.get()) >= 0;
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

// A reverse jog from a cue: before the output has shown a single step, the queue the player
// filled (three pictures back) turns the read-ahead backwards beyond the queue, and pictures
// ahead of the cue are not what it reads.
TEST_F(MovieDecoderTest, TheTapeDecoderReadsAheadInTheDirectionTheQueueCommands) {
  const std::string path = folder_.File("gop.avi");
  ASSERT_TRUE(WriteLongGopTape(path, 60, 12));
  auto movie = std::make_shared<CMovie>();
  ASSERT_EQ(movie->OpenFile(path), S_OK);
  auto tape = std::make_shared<CSuperClip>(25.0);
  ASSERT_EQ(tape->AddMovie(movie), S_OK);
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

TEST_F(MovieDecoderTest, DestroyingTheTapeDecoderDuringASlowDecodeTakesMilliseconds) {
  // 1000 full-size pictures after one key frame: the last one takes long to reach. Made cheaply
  // from two coded pictures, the second written 999 times.
  TapeSpec spec;
  spec.width = 1920;
  spec.height = 1080;
  spec.frames = 2;
  spec.codec = TapeCodec::kMpeg4;
  spec.gop = 600;
  spec.b_frames = 0;
  std::string error;
  const std::string two = testing::MakeTestTape(folder_, "two.mkv", spec, &error);
  ASSERT_FALSE(two.empty()) << error;
  const std::string slow = folder_.File("slow.mkv");
  std::int64_t step = 0;
  ASSERT_TRUE(
      RewritePackets(two, slow, [&](int index, const AVPacket& packet, const PacketWriter& write) {
        if (index == 0) {
          step = packet.duration > 0 ? packet.duration : 40;
          return write(packet.pts);
        }
        for (std::int64_t n = 1; n < 1000; ++n) {
          if (!write(n * step)) return false;
        }
        return true;
      }));
  CMovieDecoder alone;
  ASSERT_EQ(alone.Open(slow), S_OK);
  std::shared_ptr<const Picture> picture;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(alone.Decode(999, &picture), S_OK);
  const auto whole_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
  ASSERT_GT(whole_ms, 500) << "the material decodes too fast to show anything";

  auto movie = std::make_shared<CMovie>();
  ASSERT_EQ(movie->OpenFile(slow), S_OK);
  auto tape = std::make_shared<CSuperClip>(25.0);
  ASSERT_EQ(tape->AddMovie(movie), S_OK);
  auto decoder = std::make_unique<CTapeDecoder>([tape](std::size_t) {
    CTimeline::Outlook outlook;
    outlook.on_output = CTimeline::TapePicture{tape, 999};
    return outlook;
  });
  for (int ms = 0; ms < 10000 && !decoder->stats().decoding; ++ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(decoder->stats().decoding);
  std::this_thread::sleep_for(std::chrono::milliseconds(whole_ms / 5));  // well into it
  const auto stop = std::chrono::steady_clock::now();
  decoder.reset();
  const auto stop_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stop)
          .count();
  EXPECT_LT(stop_ms, 250) << "a whole decode takes " << whole_ms << " ms";
}

}  // namespace
}  // namespace vxr
