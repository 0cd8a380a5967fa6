#include "tools/maketape/tape_writer.h"

#include <cstdio>
#include <cstring>
#include <memory>


#include "tools/maketape/av_handles.h"
#include "tools/maketape/tape_picture.h"

namespace vxr {
namespace {

std::string Describe(const char* step, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return std::string(step) + ": " + text;
}

class Encoder {
 public:
  bool Open(const std::string& path, const TapeSpec& spec, std::string* error);
  bool Write(std::uint32_t frame_number, int timecode_fps, std::string* error);
  bool Finish(std::string* error);

 private:
  bool Drain(AVFrame* frame, std::string* error);

  AvOutputHandle output_;
  AvCodecHandle codec_;
  AvFrameHandle frame_;
  AvPacketHandle packet_;
  AVStream* stream_ = nullptr;
};

bool Encoder::Open(const std::string& path, const TapeSpec& spec, std::string* error) {
  AVFormatContext* raw = nullptr;
  int code = avformat_alloc_output_context2(&raw, nullptr, "avi", path.c_str());
  if (code < 0 || raw == nullptr) return *error = Describe("output", code), false;
  output_.reset(raw);
  const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (mjpeg == nullptr) return *error = "no MJPEG encoder", false;
  stream_ = avformat_new_stream(output_.get(), nullptr);
  codec_.reset(avcodec_alloc_context3(mjpeg));
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (stream_ == nullptr || !codec_ || !frame_ || !packet_) return *error = "out of memory", false;

  codec_->width = spec.width;
  codec_->height = spec.height;
  codec_->pix_fmt = AV_PIX_FMT_YUVJ420P;
  codec_->color_range = AVCOL_RANGE_JPEG;
  codec_->time_base = AVRational{spec.rate_den, spec.rate_num};
  codec_->framerate = AVRational{spec.rate_num, spec.rate_den};
  codec_->flags |= AV_CODEC_FLAG_QSCALE;
  codec_->global_quality = FF_QP2LAMBDA * spec.quality;
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if ((code = avcodec_open2(codec_.get(), mjpeg, nullptr)) < 0) {
    return *error = Describe("encoder", code), false;
  }
  if ((code = avcodec_parameters_from_context(stream_->codecpar, codec_.get())) < 0) {
    return *error = Describe("stream", code), false;
  }
  stream_->time_base = codec_->time_base;
  stream_->avg_frame_rate = codec_->framerate;
  if ((code = avio_open(&output_->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) {
    return *error = Describe("open", code), false;
  }
  if ((code = avformat_write_header(output_.get(), nullptr)) < 0) {
    return *error = Describe("header", code), false;
  }
  frame_->format = codec_->pix_fmt;
  frame_->width = spec.width;
  frame_->height = spec.height;
  if ((code = av_frame_get_buffer(frame_.get(), 0)) < 0) {
    return *error = Describe("picture", code), false;
  }
  return true;
}

bool Encoder::Write(std::uint32_t frame_number, int timecode_fps, std::string* error) {
  const int code = av_frame_make_writable(frame_.get());
  if (code < 0) return *error = Describe("picture", code), false;
  DrawTapePicture(frame_->data[0], frame_->linesize[0], frame_->width, frame_->height,
                  frame_number, timecode_fps);
  for (int plane = 1; plane <= 2; ++plane) {
    for (int row = 0; row < (frame_->height + 1) / 2; ++row) {
      std::memset(frame_->data[plane] + row * frame_->linesize[plane], 128,
                  static_cast<std::size_t>((frame_->width + 1) / 2));
    }
  }
  frame_->pts = frame_number;
  return Drain(frame_.get(), error);
}

bool Encoder::Drain(AVFrame* frame, std::string* error) {
  int code = avcodec_send_frame(codec_.get(), frame);
  if (code < 0) return *error = Describe("encode", code), false;
  while ((code = avcodec_receive_packet(codec_.get(), packet_.get())) >= 0) {
    av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
    packet_->stream_index = stream_->index;
    code = av_interleaved_write_frame(output_.get(), packet_.get());
    if (code < 0) return *error = Describe("write", code), false;
  }
  if (code != AVERROR(EAGAIN) && code != AVERROR_EOF) {
    return *error = Describe("encode", code), false;
  }
  return true;
}

bool Encoder::Finish(std::string* error) {
  if (!Drain(nullptr, error)) return false;
  const int code = av_write_trailer(output_.get());
  if (code < 0) return *error = Describe("trailer", code), false;
  if (avio_closep(&output_->pb) < 0) return *error = "closing the file failed", false;
  return true;
}

}  // namespace

bool WriteTestTape(const std::string& path, const TapeSpec& spec, std::string* error) {
  std::string reason;
  if (spec.width < kMinTapeWidth || spec.height < kMinTapeHeight || spec.width % 2 != 0 ||
      spec.height % 2 != 0 || spec.width > 8192 || spec.height > 8192) {
    reason = "the picture must be even-sized, from 64x48 to 8192x8192";
  } else if (!((spec.rate_num == 25 && spec.rate_den == 1) ||
               (spec.rate_num == 30000 && spec.rate_den == 1001))) {
    reason = "the rate must be 25 or 30000/1001";
  } else if (spec.frames < 1 || spec.frames > 0xFFFFFFu) {
    reason = "the length must be from 1 to 16777215 frames";
  } else if (spec.quality < 2 || spec.quality > 31) {
    reason = "the quality must be from 2 to 31";
  }
  if (!reason.empty()) {
    if (error) *error = reason;
    return false;
  }
  const int timecode_fps = spec.rate_num == 25 ? 25 : 30;
  bool written = false;
  {
    Encoder encoder;
    written = encoder.Open(path, spec, &reason);
    for (std::uint32_t n = 0; written && n < spec.frames; ++n) {
      written = encoder.Write(n, timecode_fps, &reason);
    }
    written = written && encoder.Finish(&reason);
  }
  if (!written) {
    std::remove(path.c_str());
    if (error) *error = reason;
  }
  return written;
}

}  // namespace vxr
