#include "testing/media/tape_edits.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "testing/media/av_handles.h"
#include "testing/media/tape_picture.h"

namespace vxr::testing {
namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr int kRate = 25;
constexpr int kBFrames = 2;
constexpr int kQuantiser = 2;
constexpr int kNeutralChroma = 128;

}  // namespace

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
  codec->width = kWidth;
  codec->height = kHeight;
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->time_base = AVRational{1, kRate};
  codec->framerate = AVRational{kRate, 1};
  codec->gop_size = gop;
  codec->max_b_frames = kBFrames;
  codec->flags |= AV_CODEC_FLAG_QSCALE;
  codec->global_quality = FF_QP2LAMBDA * kQuantiser;
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
    DrawTapePicture(frame->data[0], frame->linesize[0], kWidth, kHeight,
                    static_cast<std::uint32_t>(n), kRate);
    for (int plane = 1; plane <= 2; ++plane) {
      for (int row = 0; row < kHeight / 2; ++row) {
        std::memset(frame->data[plane] + row * frame->linesize[plane], kNeutralChroma, kWidth / 2);
      }
    }
    frame->pts = n;
    if (!drain(frame.get())) return false;
  }
  return drain(nullptr) && av_write_trailer(output.get()) >= 0;
}

bool RewritePackets(const std::string& from, const std::string& to, const PacketEdit& edit) {
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

}  // namespace vxr::testing
