#include "testing/media/tape_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "testing/media/av_handles.h"
#include "testing/media/tape_picture.h"

namespace vxr {
namespace {

constexpr int kAudioRate = 8000;         // samples per second of the silent tracks
constexpr int kAudioPacketSamples = 80;  // 10 ms a packet
constexpr double kToneHz = 1000.0;
constexpr double kToneAmplitude = 16000.0;
constexpr int kToneMs = 10;
constexpr int kMaxAudioTracks = 16;
constexpr int kMaxGop = 100000;
constexpr int kMaxBFrames = 3;
constexpr int kUnevenLong = 1;     // TapeSpec::uneven: the place in the cycle of the long picture
constexpr int kUnevenPeriods = 3;  // and the frame periods it shows for
constexpr int kH264BaseCrf = 18;   // quality q gives constant rate factor 18 + q
constexpr int kH264Threads = 2;    // the machines that make tapes are shared

std::string Describe(const char* step, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return std::string(step) + ": " + text;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

const char* ContainerFor(const std::string& path) {
  if (EndsWith(path, ".mkv")) return "matroska";
  if (EndsWith(path, ".mp4")) return "mp4";
  if (EndsWith(path, ".mov")) return "mov";
  if (EndsWith(path, ".mxf")) return "mxf";
  return "avi";
}

struct ScalerFreer {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

// One sample of the tone track: a 10 ms 1 kHz burst from the first sample of every frame whose
// number is a multiple of the timecode rate, silence elsewhere.
double ToneSample(std::int64_t n, int rate, int rate_num, int rate_den) {
  const int fps = rate_num == 25 ? 25 : 30;
  const std::int64_t frame = av_rescale(n, rate_num, std::int64_t{rate} * rate_den);
  auto start_of = [&](std::int64_t f) {
    return av_rescale(f, std::int64_t{rate} * rate_den, rate_num);
  };
  // The frame whose samples hold n (rounding may place n in the frame before).
  std::int64_t own = frame;
  while (own > 0 && start_of(own) > n) --own;
  while (start_of(own + 1) <= n) ++own;
  const std::int64_t burst_start = start_of(own / fps * fps);
  const std::int64_t burst_end = burst_start + rate * kToneMs / 1000;
  if (n < burst_start || n >= burst_end) return 0.0;
  return kToneAmplitude *
         std::sin(2 * M_PI * kToneHz * static_cast<double>(n - burst_start) / rate);
}

class Encoder {
 public:
  bool Open(const std::string& path, const TapeSpec& spec, std::string* error);
  bool Write(std::uint32_t frame_number, int timecode_fps, std::string* error);
  bool Finish(std::string* error);

 private:
  bool OpenVideo(const TapeSpec& spec, std::string* error);
  bool OpenNamedVideo(const TapeSpec& spec, std::string* error);
  bool StartVideoStream(const AVCodec* encoder, const TapeSpec& spec, std::string* error);
  bool FinishVideoStream(std::string* error);
  bool AddAudioTracks(int tracks, std::string* error);
  bool AddToneTrack(int rate, std::string* error);
  // A 16-bit PCM sound stream; null when out of memory.
  AVStream* AddPcmStream(int rate, int channels);
  bool WriteToneUntil(std::uint32_t frame_number, std::string* error);
  bool OpenSoundEncoder(const std::string& name, int rate, std::string* error);
  bool EncodeToneUntil(std::int64_t end, bool last, std::string* error);
  // Writes the silent sound of every track up to the end of the given picture.
  bool WriteAudioUntil(std::uint32_t frame_number, std::string* error);
  bool Drain(AVFrame* frame, std::string* error);

  AvOutputHandle output_;
  AvCodecHandle codec_;
  AvFrameHandle frame_;
  AvPacketHandle packet_;
  AVStream* stream_ = nullptr;
  std::vector<AVStream*> audio_;
  std::int64_t audio_written_ = 0;  // samples written to every track
  int rate_num_ = 25, rate_den_ = 1;
  AVStream* tone_ = nullptr;  // the tone-burst track, if any
  int tone_rate_ = 0;
  std::int64_t tone_written_ = 0;
  AvCodecHandle sound_;        // the tone track's encoder, when not plain PCM
  std::int64_t tone_end_ = 0;  // samples the pictures so far span
  AvFrameHandle sound_frame_;
  AvFrameHandle drawn_;  // the picture as drawn, when the encoder takes another pixel format
  std::unique_ptr<SwsContext, ScalerFreer> scaler_;
  int uneven_ = 0;  // TapeSpec::uneven
};

bool Encoder::OpenSoundEncoder(const std::string& name, int rate, std::string* error) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(name.c_str());
  if (encoder == nullptr) return *error = "the library has no sound encoder " + name, false;
  sound_.reset(avcodec_alloc_context3(encoder));
  tone_ = avformat_new_stream(output_.get(), nullptr);
  sound_frame_.reset(av_frame_alloc());
  if (!sound_ || tone_ == nullptr || !sound_frame_) return *error = "out of memory", false;
  sound_->sample_rate = rate;
  av_channel_layout_default(&sound_->ch_layout, 2);
  sound_->sample_fmt =
      encoder->sample_fmts != nullptr ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  sound_->time_base = AVRational{1, rate};
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) sound_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int code = avcodec_open2(sound_.get(), encoder, nullptr);
  if (code < 0) return *error = Describe("sound encoder", code), false;
  if ((code = avcodec_parameters_from_context(tone_->codecpar, sound_.get())) < 0) {
    return *error = Describe("sound stream", code), false;
  }
  tone_->time_base = sound_->time_base;
  tone_rate_ = rate;
  return true;
}

// Encodes the tone track up to sample end (all of it, the rest padded, when last).
bool Encoder::EncodeToneUntil(std::int64_t end, bool last, std::string* error) {
  const int chunk = sound_->frame_size > 0 ? sound_->frame_size : 1024;
  while (tone_written_ + chunk <= end || (last && tone_written_ < end)) {
    AVFrame* frame = sound_frame_.get();
    av_frame_unref(frame);
    frame->nb_samples = chunk;
    frame->format = sound_->sample_fmt;
    frame->sample_rate = tone_rate_;
    int code = av_channel_layout_copy(&frame->ch_layout, &sound_->ch_layout);
    if (code >= 0) code = av_frame_get_buffer(frame, 0);
    if (code < 0) return *error = Describe("sound", code), false;
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    for (int i = 0; i < chunk; ++i) {
      const double value = ToneSample(tone_written_ + i, tone_rate_, rate_num_, rate_den_);
      for (int channel = 0; channel < 2; ++channel) {
        std::uint8_t* plane = frame->data[planar ? channel : 0];
        const int at = planar ? i : 2 * i + channel;
        switch (av_get_packed_sample_fmt(format)) {
          case AV_SAMPLE_FMT_FLT:
            reinterpret_cast<float*>(plane)[at] = static_cast<float>(value / 32768.0);
            break;
          case AV_SAMPLE_FMT_S32:
            reinterpret_cast<std::int32_t*>(plane)[at] = static_cast<std::int32_t>(value) << 16;
            break;
          default:
            reinterpret_cast<std::int16_t*>(plane)[at] = static_cast<std::int16_t>(value);
            break;
        }
      }
    }
    frame->pts = tone_written_;
    tone_written_ += chunk;
    if ((code = avcodec_send_frame(sound_.get(), frame)) < 0) {
      return *error = Describe("sound encode", code), false;
    }
    if (last && tone_written_ >= end) avcodec_send_frame(sound_.get(), nullptr);
    while ((code = avcodec_receive_packet(sound_.get(), packet_.get())) >= 0) {
      av_packet_rescale_ts(packet_.get(), sound_->time_base, tone_->time_base);
      packet_->stream_index = tone_->index;
      if ((code = av_interleaved_write_frame(output_.get(), packet_.get())) < 0) {
        return *error = Describe("write", code), false;
      }
    }
  }
  return true;
}

AVStream* Encoder::AddPcmStream(int rate, int channels) {
  AVStream* stream = avformat_new_stream(output_.get(), nullptr);
  if (stream == nullptr) return nullptr;
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->format = AV_SAMPLE_FMT_S16;
  par->sample_rate = rate;
  av_channel_layout_default(&par->ch_layout, channels);
  par->bits_per_coded_sample = 16;
  par->block_align = 2 * channels;
  par->bit_rate = static_cast<std::int64_t>(rate) * 16 * channels;
  stream->time_base = AVRational{1, rate};
  return stream;
}

bool Encoder::AddToneTrack(int rate, std::string* error) {
  tone_ = AddPcmStream(rate, 2);
  if (tone_ == nullptr) return *error = "out of memory", false;
  tone_rate_ = rate;
  return true;
}

// The tone track up to the end of the given picture, one packet per picture.
bool Encoder::WriteToneUntil(std::uint32_t frame_number, std::string* error) {
  if (tone_ == nullptr) return true;
  if (sound_) {
    const std::int64_t end = av_rescale(static_cast<std::int64_t>(frame_number) + 1,
                                        std::int64_t{tone_rate_} * rate_den_, rate_num_);
    tone_end_ = end;
    return EncodeToneUntil(end, false, error);
  }
  const int fps = rate_num_ == 25 ? 25 : 30;
  auto start_of = [this](std::int64_t frame) {
    return av_rescale(frame, std::int64_t{tone_rate_} * rate_den_, rate_num_);
  };
  const std::int64_t end = start_of(static_cast<std::int64_t>(frame_number) + 1);
  const int count = static_cast<int>(end - tone_written_);
  if (count <= 0) return true;
  int code = av_new_packet(packet_.get(), count * 4);
  if (code < 0) return *error = Describe("sound", code), false;
  auto* samples = reinterpret_cast<std::int16_t*>(packet_->data);
  const std::int64_t burst_frame = frame_number / fps * fps;
  const std::int64_t burst_start = start_of(burst_frame);
  const std::int64_t burst_end = burst_start + tone_rate_ * kToneMs / 1000;
  for (int i = 0; i < count; ++i) {
    const std::int64_t n = tone_written_ + i;
    std::int16_t value = 0;
    if (n >= burst_start && n < burst_end) {
      value = static_cast<std::int16_t>(
          kToneAmplitude *
          std::sin(2 * M_PI * kToneHz * static_cast<double>(n - burst_start) / tone_rate_));
    }
    samples[2 * i] = samples[2 * i + 1] = value;
  }
  packet_->pts = packet_->dts = tone_written_;
  packet_->duration = count;
  packet_->stream_index = tone_->index;
  av_packet_rescale_ts(packet_.get(), AVRational{1, tone_rate_}, tone_->time_base);
  code = av_interleaved_write_frame(output_.get(), packet_.get());
  if (code < 0) return *error = Describe("write", code), false;
  tone_written_ = end;
  return true;
}

bool Encoder::OpenVideo(const TapeSpec& spec, std::string* error) {
  const AVCodec* encoder = nullptr;
  if (!spec.encoder.empty()) return OpenNamedVideo(spec, error);
  switch (spec.codec) {
    case TapeCodec::kMjpeg:
      encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
      break;
    case TapeCodec::kMpeg4:
      encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
      break;
    case TapeCodec::kH264:
      encoder = avcodec_find_encoder_by_name("libx264");
      break;
  }
  if (encoder == nullptr) return *error = "the library has no encoder for this codec", false;
  if (!StartVideoStream(encoder, spec, error)) return false;
  if (spec.codec == TapeCodec::kMjpeg) {
    codec_->pix_fmt = AV_PIX_FMT_YUVJ420P;
    codec_->color_range = AVCOL_RANGE_JPEG;
  } else {
    codec_->pix_fmt = AV_PIX_FMT_YUV420P;
    codec_->gop_size = spec.gop;
    codec_->max_b_frames = spec.b_frames;
  }
  if (spec.codec == TapeCodec::kH264) {
    codec_->thread_count = kH264Threads;
    av_opt_set(codec_->priv_data, "preset", "superfast", 0);
    av_opt_set_double(codec_->priv_data, "crf", kH264BaseCrf + spec.quality, 0);
    // Key frames exactly every gop pictures, none at scene changes.
    const std::string params =
        std::string("scenecut=0:log=-1") + (spec.open_gop ? ":open-gop=1" : "");
    av_opt_set(codec_->priv_data, "x264-params", params.c_str(), 0);
  } else {
    codec_->flags |= AV_CODEC_FLAG_QSCALE;
    codec_->global_quality = FF_QP2LAMBDA * spec.quality;
  }
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int code = avcodec_open2(codec_.get(), encoder, nullptr);
  if (code < 0) return *error = Describe("encoder", code), false;
  return FinishVideoStream(error);
}

// The picture stream and its encoder's context, with the tape's size and rate.
bool Encoder::StartVideoStream(const AVCodec* encoder, const TapeSpec& spec, std::string* error) {
  stream_ = avformat_new_stream(output_.get(), nullptr);
  codec_.reset(avcodec_alloc_context3(encoder));
  if (stream_ == nullptr || !codec_) return *error = "out of memory", false;
  codec_->width = spec.width;
  codec_->height = spec.height;
  codec_->time_base = AVRational{spec.rate_den, spec.rate_num};
  codec_->framerate = AVRational{spec.rate_num, spec.rate_den};
  return true;
}

bool Encoder::FinishVideoStream(std::string* error) {
  const int code = avcodec_parameters_from_context(stream_->codecpar, codec_.get());
  if (code < 0) return *error = Describe("stream", code), false;
  stream_->time_base = codec_->time_base;
  stream_->avg_frame_rate = codec_->framerate;
  return true;
}

bool Encoder::OpenNamedVideo(const TapeSpec& spec, std::string* error) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(spec.encoder.c_str());
  if (encoder == nullptr) return *error = "the library has no encoder " + spec.encoder, false;
  if (!StartVideoStream(encoder, spec, error)) return false;
  codec_->gop_size = spec.gop;
  codec_->max_b_frames = spec.b_frames;
  // The library's own encoders on one thread (test tapes are short); x264 and x265 keep theirs.
  const bool external = spec.encoder.rfind("lib", 0) == 0;
  codec_->thread_count = external ? kH264Threads : 1;
  if (spec.bit_rate > 0) codec_->bit_rate = spec.bit_rate;
  codec_->pix_fmt = !spec.pixel_format.empty()     ? av_get_pix_fmt(spec.pixel_format.c_str())
                    : encoder->pix_fmts != nullptr ? encoder->pix_fmts[0]
                                                   : AV_PIX_FMT_YUV420P;
  if (codec_->pix_fmt == AV_PIX_FMT_NONE) return *error = "unknown pixel format", false;
  if (spec.interlaced) {
    codec_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    codec_->field_order = AV_FIELD_TT;
  }
  if (output_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  if (!spec.encoder_options.empty() &&
      av_dict_parse_string(&options, spec.encoder_options.c_str(), "=", ";", 0) < 0) {
    av_dict_free(&options);
    return *error = "bad encoder options " + spec.encoder_options, false;
  }
  const int code = avcodec_open2(codec_.get(), encoder, &options);
  const bool unused = av_dict_count(options) > 0;
  av_dict_free(&options);
  if (code < 0) return *error = Describe("encoder", code), false;
  if (unused) return *error = "the encoder ignores some of " + spec.encoder_options, false;
  return FinishVideoStream(error);
}

bool Encoder::AddAudioTracks(int tracks, std::string* error) {
  for (int i = 0; i < tracks; ++i) {
    AVStream* stream = AddPcmStream(kAudioRate, 1);
    if (stream == nullptr) return *error = "out of memory", false;
    audio_.push_back(stream);
  }
  return true;
}

bool Encoder::Open(const std::string& path, const TapeSpec& spec, std::string* error) {
  rate_num_ = spec.rate_num;
  rate_den_ = spec.rate_den;
  uneven_ = spec.uneven;
  AVFormatContext* raw = nullptr;
  int code = avformat_alloc_output_context2(&raw, nullptr, ContainerFor(path), path.c_str());
  if (code < 0 || raw == nullptr) return *error = Describe("output", code), false;
  output_.reset(raw);
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!frame_ || !packet_) return *error = "out of memory", false;
  if (!OpenVideo(spec, error) || !AddAudioTracks(spec.audio_tracks, error)) return false;
  if (spec.tone_bursts && (spec.sound_encoder.empty()
                               ? !AddToneTrack(spec.sound_rate, error)
                               : !OpenSoundEncoder(spec.sound_encoder, spec.sound_rate, error))) {
    return false;
  }
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
  if (spec.interlaced) {
    frame_->interlaced_frame = 1;
    frame_->top_field_first = 1;
  }
  if (codec_->pix_fmt != AV_PIX_FMT_YUV420P && codec_->pix_fmt != AV_PIX_FMT_YUVJ420P) {
    // Drawn in 4:2:0 and converted to what the encoder takes.
    drawn_.reset(av_frame_alloc());
    if (!drawn_) return *error = "out of memory", false;
    drawn_->format = AV_PIX_FMT_YUV420P;
    drawn_->width = spec.width;
    drawn_->height = spec.height;
    if ((code = av_frame_get_buffer(drawn_.get(), 0)) < 0) {
      return *error = Describe("picture", code), false;
    }
    scaler_.reset(sws_getContext(spec.width, spec.height, AV_PIX_FMT_YUV420P, spec.width,
                                 spec.height, codec_->pix_fmt, SWS_POINT, nullptr, nullptr,
                                 nullptr));
    if (!scaler_) return *error = "no conversion to the encoder's pixel format", false;
  }
  return true;
}

bool Encoder::Write(std::uint32_t frame_number, int timecode_fps, std::string* error) {
  int code = av_frame_make_writable(frame_.get());
  if (code < 0) return *error = Describe("picture", code), false;
  AVFrame* drawn = drawn_ ? drawn_.get() : frame_.get();
  DrawTapePicture(drawn->data[0], drawn->linesize[0], drawn->width, drawn->height, frame_number,
                  timecode_fps);
  for (int plane = 1; plane <= 2; ++plane) {
    for (int row = 0; row < (drawn->height + 1) / 2; ++row) {
      std::memset(drawn->data[plane] + row * drawn->linesize[plane], 128,
                  static_cast<std::size_t>((drawn->width + 1) / 2));
    }
  }
  if (drawn_ && sws_scale(scaler_.get(), drawn->data, drawn->linesize, 0, drawn->height,
                          frame_->data, frame_->linesize) != drawn->height) {
    return *error = "picture conversion failed", false;
  }
  frame_->pts = frame_number;
  return Drain(frame_.get(), error) && WriteAudioUntil(frame_number, error) &&
         WriteToneUntil(frame_number, error);
}

bool Encoder::WriteAudioUntil(std::uint32_t frame_number, std::string* error) {
  if (audio_.empty()) return true;
  const std::int64_t end = av_rescale(static_cast<std::int64_t>(frame_number) + 1,
                                      std::int64_t{kAudioRate} * rate_den_, rate_num_);
  for (; audio_written_ + kAudioPacketSamples <= end; audio_written_ += kAudioPacketSamples) {
    for (AVStream* stream : audio_) {
      int code = av_new_packet(packet_.get(), kAudioPacketSamples * 2);
      if (code < 0) return *error = Describe("sound", code), false;
      std::memset(packet_->data, 0, static_cast<std::size_t>(packet_->size));
      packet_->pts = packet_->dts = audio_written_;
      packet_->duration = kAudioPacketSamples;
      packet_->stream_index = stream->index;
      av_packet_rescale_ts(packet_.get(), AVRational{1, kAudioRate}, stream->time_base);
      code = av_interleaved_write_frame(output_.get(), packet_.get());
      if (code < 0) return *error = Describe("write", code), false;
    }
  }
  return true;
}

bool Encoder::Drain(AVFrame* frame, std::string* error) {
  int code = avcodec_send_frame(codec_.get(), frame);
  if (code < 0) return *error = Describe("encode", code), false;
  while ((code = avcodec_receive_packet(codec_.get(), packet_.get())) >= 0) {
    // Pictures count in frame periods: one that stands for three says so.
    if (uneven_ > 0 && packet_->pts != AV_NOPTS_VALUE) {
      packet_->duration = packet_->pts % uneven_ == kUnevenLong ? kUnevenPeriods : 1;
    }
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
  if (sound_ && !EncodeToneUntil(std::max(tone_end_, tone_written_ + 1), true, error)) {
    return false;
  }
  const int code = av_write_trailer(output_.get());
  if (code < 0) return *error = Describe("trailer", code), false;
  if (avio_closep(&output_->pb) < 0) return *error = "closing the file failed", false;
  return true;
}

}  // namespace

std::uint32_t PictureShownAt(const TapeSpec& spec, std::uint32_t n) {
  if (spec.uneven <= 0) return n;
  const int into = static_cast<int>(n % static_cast<std::uint32_t>(spec.uneven));
  return into > kUnevenLong && into < kUnevenLong + kUnevenPeriods
             ? n - static_cast<std::uint32_t>(into - kUnevenLong)
             : n;
}

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
  } else if (spec.gop < 1 || spec.gop > kMaxGop || spec.b_frames < 0 ||
             spec.b_frames > kMaxBFrames) {
    reason = "the group of pictures must be from 1 to 100000, with 0 to 3 B pictures";
  } else if (spec.tone_bursts && spec.sound_rate != 48000 && spec.sound_rate != 44100) {
    reason = "the sound rate must be 48000 or 44100";
  } else if (spec.audio_tracks < 0 || spec.audio_tracks > kMaxAudioTracks) {
    reason = "a tape has 0 to 16 sound tracks";
  } else if (spec.uneven != 0 && spec.uneven < kUnevenLong + kUnevenPeriods) {
    reason = "uneven pictures need a cycle of 4 pictures at least";
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
      if (PictureShownAt(spec, n) != n) continue;  // a longer picture stands for it
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
