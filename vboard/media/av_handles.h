#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vxr {

// Owning handles for the FFmpeg objects the board's sound and program outputs use.
struct AvInputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct AvCodecFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct AvFrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct AvPacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwrFreer {
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
struct SwsFreer {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
using AvInputHandle = std::unique_ptr<AVFormatContext, AvInputCloser>;
using AvCodecHandle = std::unique_ptr<AVCodecContext, AvCodecFreer>;
using AvFrameHandle = std::unique_ptr<AVFrame, AvFrameFreer>;
using AvPacketHandle = std::unique_ptr<AVPacket, AvPacketFreer>;
using SwrHandle = std::unique_ptr<SwrContext, SwrFreer>;
using SwsHandle = std::unique_ptr<SwsContext, SwsFreer>;

}  // namespace vxr
