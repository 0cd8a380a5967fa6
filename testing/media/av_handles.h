#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace vxr {

// Owning handles for the FFmpeg objects the tape tools use.
struct AvCodecFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct AvFrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct AvPacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
// An output context that was opened for writing: its file is closed with it.
struct AvOutputCloser {
  void operator()(AVFormatContext* context) const {
    if (context->pb) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
using AvCodecHandle = std::unique_ptr<AVCodecContext, AvCodecFreer>;
using AvFrameHandle = std::unique_ptr<AVFrame, AvFrameFreer>;
using AvPacketHandle = std::unique_ptr<AVPacket, AvPacketFreer>;
using AvOutputHandle = std::unique_ptr<AVFormatContext, AvOutputCloser>;

}  // namespace vxr
