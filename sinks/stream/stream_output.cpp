#include "sinks/stream/stream_output.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "sinks/stream/outage_report.h"
#include "sinks/stream/paced_sender.h"
#include "sinks/stream/srt_library.h"
#include "sinks/stream/srt_listener.h"
#include "sinks/stream/stream_timecode.h"
#include "vboard/media/av_handles.h"
#include "vboard/media/ffmpeg_log.h"
#include "vboard/program/burn_in.h"
#include "vboard/program/sound_cadence.h"

namespace vxr {
namespace {

// Ticks the queue holds before the oldest is dropped: two seconds at 25 frames a second.
constexpr std::size_t kMaxQueuedTicks = 50;
// The bytes of the pictures the queue holds at the most (four 1080 pictures): beyond it the
// oldest ticks let their pictures go and keep their sound, so that a slow encoder costs
// pictures, which it would drop anyway, and never holds two seconds of pictures. The newest
// tick keeps its picture whatever its size.
constexpr std::size_t kMaxQueuedPictureBytes = std::size_t{32} << 20;
// While nobody receives (an SRT listener waiting for its caller, a destination away) the queue
// keeps only the newest tick: what cannot be sent is not held.
constexpr std::size_t kUnconnectedQueuedTicks = 1;
// With more ticks than this waiting, pictures are dropped and only the sound is encoded, so that
// a slow encoder catches up with the output clock instead of lagging ever further.
constexpr std::size_t kPictureBacklogLimit = 2;
// How long one write to the network may block before the destination counts as lost.
constexpr auto kWriteTimeout = std::chrono::milliseconds(1000);
// How long a caller waits for its destination to answer.
constexpr auto kConnectTimeout = std::chrono::milliseconds(5000);
// Retries of a destination that cannot be reached or is lost: the first after half a second,
// then doubling up to two seconds; a session that keeps sending this long ends the back-off.
constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 2000;
constexpr auto kSteadySession = std::chrono::milliseconds(kLastRetryMs);
// The format the encoders' settings are tried with at start, before the board's is known: what
// FFmpeg refuses in the deck's options does not depend on it.
const OutputFormat kProbeFormat{"probe", 720, 576, 25, 1};
// A gap of sound longer than this (ticks lost while the queue overflowed) restarts the sound's
// timestamps instead of being filled with silence.
constexpr std::int64_t kMaxSilenceFill = kProgramSoundRate;
// Room for the figures' line with the longest address FFmpeg takes.
constexpr std::size_t kFiguresLength = 700;
// The muxer's buffer in front of the deck's own SRT listener or RIST sender: one message.
constexpr int kOwnIoBytes = 1316;
// The RIST sender's queue holds the decoder's delay of the stream at its rate and this much
// more, so that a key frame the muxer sends ahead of its time waits there, not lost.
constexpr int kPacedQueueMarginMs = 1000;
// The transport stream's default rate: the video and sound bit rates and this much more for
// the packets' headers, the tables and the clock references.
constexpr double kMuxRateMargin = 1.10;
// Below this margin the packets' headers and tables do not fit beside the coded rates.
constexpr double kLeastMuxRateMargin = 1.05;
// A clock reference this often (milliseconds): twice as often as a receiver needs one.
constexpr int kPcrPeriodMs = 20;
// The encoder's buffer holds at most this share of what the decoder's delay holds at the video
// bit rate, so that the biggest picture still arrives ahead of its time.
constexpr double kBufferShareOfDelay = 0.8;
// UDP: datagrams leave paced at the transport rate, at most this much of it at once after a
// pause (a whole datagram at least).
constexpr int kPacingBurstMs = 2;
constexpr long kDatagramBits = 1316 * 8;
constexpr long kMicrosPerMilli = 1000;
constexpr long kBitsPerByte = 8;
// The service's provider in the stream's service information, and its name when the deck has
// none.
constexpr const char* kServiceProvider = "vxrdeck";
constexpr const char* kDefaultServiceName = "vxrdeck";

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// text with every secret value of settings replaced by "***": FFmpeg repeats the address, and a
// value with a space in it would outlast the redaction of its log.
std::string HideSecrets(std::string text, const StreamSettings& settings) {
  auto hide = [&text](const std::string& part) {
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += 3) {
      text.replace(at, part.size(), "***");
    }
  };
  for (const std::string& secret : settings.secret_values) {
    if (secret.empty()) continue;
    hide(secret);
    // The log's redaction (RedactSecrets) ends a value at white space or a quote: what it left.
    const std::size_t cut = secret.find_first_of(" \t\"'");
    if (cut != std::string::npos) hide("***" + secret.substr(cut));
  }
  return text;
}

using TickQueue = std::deque<std::shared_ptr<const ProgramFrame>>;

// Adds up the bytes of pictures taken newest first, a picture that consecutive ticks share
// counted once.
class PictureBytes {
 public:
  void Add(const std::vector<std::uint32_t>* pixels) {
    if (pixels == nullptr || pixels == counted_) return;
    bytes_ += pixels->size() * sizeof(std::uint32_t);
    counted_ = pixels;
  }
  std::size_t bytes() const { return bytes_; }

 private:
  std::size_t bytes_ = 0;
  const std::vector<std::uint32_t>* counted_ = nullptr;
};

// Keeps the pictures of queue within kMaxQueuedPictureBytes: from the newest back, the ticks
// beyond the limit are replaced by copies without their picture.
void LimitQueuedPictures(TickQueue* queue) {
  PictureBytes bytes;
  for (auto it = queue->rbegin(); it != queue->rend(); ++it) {
    if (!(*it)->pixels) continue;
    bytes.Add((*it)->pixels.get());
    if (bytes.bytes() <= kMaxQueuedPictureBytes || it == queue->rbegin()) continue;
    auto without = std::make_shared<ProgramFrame>(**it);
    without->pixels.reset();
    *it = std::move(without);
  }
}

// What FFmpeg said of a failure, to follow the deck's words.
std::string Said(const std::string& said) {
  return said.empty() ? std::string() : " (FFmpeg: " + said + ")";
}

// Default video bit rates that broadcast receivers take: SD, 720p, 1080.
long DefaultVideoBitrate(const OutputFormat& format) {
  if (format.height <= 576) return 5'000'000;
  if (format.height <= 720) return 8'000'000;
  return 12'000'000;
}

long VideoBitrate(const StreamSettings& settings, const OutputFormat& format) {
  return settings.video_bitrate.value_or(DefaultVideoBitrate(format));
}

}  // namespace

long StreamMuxRate(const StreamSettings& settings, const OutputFormat& format) {
  if (settings.mux_rate) return *settings.mux_rate;
  return static_cast<long>(
      static_cast<double>(VideoBitrate(settings, format) + settings.audio_bitrate) *
      kMuxRateMargin);
}

std::string StreamProtocolUrl(const StreamSettings& settings, const OutputFormat& format) {
  if (settings.scheme != "udp" || settings.udp_pacing_given) return settings.protocol_url;
  const long rate = StreamMuxRate(settings, format);
  const long burst = std::max(kDatagramBits, rate / 1000 * kPacingBurstMs);
  return settings.protocol_url +
         (settings.protocol_url.find('?') == std::string::npos ? "?" : "&") +
         "bitrate=" + std::to_string(rate) + "&burst_bits=" + std::to_string(burst);
}

namespace {

// The pixel aspect of a standard-definition picture shown 4:3, or 16:9 when wide.
AVRational StandardDefinitionAspect(const OutputFormat& format, bool wide) {
  AVRational aspect{1, 1};
  av_reduce(&aspect.num, &aspect.den, (wide ? 16LL : 4LL) * format.height,
            (wide ? 9LL : 3LL) * format.width, 1 << 16);
  return aspect;
}

}  // namespace

// One opened destination with its encoders. Made and used only on the output's thread.
class CStreamOutput::Session {
 public:
  // listener: the deck's own SRT listener the stream goes to, instead of FFmpeg's protocol.
  Session(StreamSettings settings, const OutputFormat& format, const std::atomic<bool>& stopping,
          std::int64_t origin_tick, bool wide, CSrtListener* listener = nullptr)
      : settings_(std::move(settings)),
        format_(format),
        stopping_(stopping),
        origin_tick_(origin_tick),
        wide_(wide),
        listener_(listener) {}

  ~Session() {
    // What the muxer left short of a message goes now, not ahead of a later session's stream.
    if (listener_ != nullptr) listener_->Flush();
    if (paced_) {
      // A write blocked in the RIST protocol is interrupted; the rest of the queue is not sent.
      rist_abort_.store(true);
      paced_->Stop();
      // A failed destination is the outage's report, not this line.
      const std::int64_t dropped = paced_->DroppedBytes();
      if (dropped > 0 && !paced_->Failed(nullptr)) {
        DebugOutput("Warn Output", "output " + settings_.display_name + ": " +
                                       std::to_string(dropped) +
                                       " bytes of the stream dropped, the sender behind its "
                                       "rate");
      }
    }
    if (context_ != nullptr) {
      if ((listener_ != nullptr || paced_) && context_->pb != nullptr) {
        av_freep(&context_->pb->buffer);
        avio_context_free(&context_->pb);
      } else if (context_->pb != nullptr) {
        avio_closep(&context_->pb);
      }
      avformat_free_context(context_);
    }
    paced_.reset();
    if (rist_io_ != nullptr) avio_closep(&rist_io_);
  }

  // The muxer and both encoders, without a destination.
  bool OpenEncoders(std::string* error) {
    const int code = avformat_alloc_output_context2(&context_, nullptr, "mpegts",
                                                    settings_.protocol_url.c_str());
    if (code < 0 || context_ == nullptr) return *error = AvError(code), false;
    context_->interrupt_callback.callback = &Session::Interrupt;
    context_->interrupt_callback.opaque = this;
    // Every picture and sound frame is stamped this far ahead of the clock reference sent with
    // it: the receiver's decoder buffer.
    context_->max_delay = settings_.delay_ms * static_cast<int>(kMicrosPerMilli);
    // Datagrams are filled whole (seven packets), not sent a packet or two at a time.
    context_->flush_packets = 0;
    const std::string name =
        settings_.service_name.empty() ? kDefaultServiceName : settings_.service_name;
    av_dict_set(&context_->metadata, "service_name", name.c_str(), 0);
    av_dict_set(&context_->metadata, "service_provider", kServiceProvider, 0);
    video_stream_ = avformat_new_stream(context_, nullptr);
    if (video_stream_ == nullptr) return *error = "out of memory", false;
    return OpenVideo(error) && OpenAudio(error);
  }

  bool Open(std::string* error) {
    if (!OpenEncoders(error)) return false;
    if (listener_ != nullptr) {
      return OpenOwnIo(listener_, &ToSink<CSrtListener>, error) && WriteHeader(error);
    }
    // FFmpeg's RIST protocol sends each write at once: the deck's own sender paces it.
    const bool paced = settings_.scheme == "rist";
    ArmDeadline(kConnectTimeout);
    // A passphrase read from a file goes as an option, so that no URL FFmpeg repeats holds it.
    AVDictionary* options = nullptr;
    if (!settings_.passphrase.empty()) {
      av_dict_set(&options, "passphrase", settings_.passphrase.c_str(), 0);
    }
    const AVIOInterruptCB rist_interrupt{&Session::InterruptRist, this};
    int code = avio_open2(paced ? &rist_io_ : &context_->pb,
                          StreamProtocolUrl(settings_, format_).c_str(), AVIO_FLAG_WRITE,
                          paced ? &rist_interrupt : &context_->interrupt_callback, &options);
    opened_.store(true);
    av_dict_free(&options);
    if (code < 0) return *error = "cannot open: " + AvError(code), false;
    if (paced && !StartPacing(error)) return false;
    return WriteHeader(error);
  }

  bool WriteHeader(std::string* error) {
    ArmDeadline(kWriteTimeout);
    // A constant transport rate, null packets filling what the encoders leave.
    AVDictionary* muxer = nullptr;
    av_dict_set_int(&muxer, "muxrate", StreamMuxRate(settings_, format_), 0);
    av_dict_set_int(&muxer, "pcr_period", kPcrPeriodMs, 0);
    // Sound frames in PES of their own size: gathered, the first would wait for the others up
    // to half the delay, which its receiver would lose (see Write).
    av_dict_set_int(&muxer, "pes_payload_size", 0, 0);
    const int code = avformat_write_header(context_, &muxer);
    av_dict_free(&muxer);
    if (code < 0) return *error = "cannot start the stream: " + AvError(code), false;
    header_written_ = true;
    return true;
  }

  // The encoders' last packets, then the trailer, so that a receiver gets the stream's end
  // whole; bounded by the write time-out even when the destination stopped taking data.
  void Finish() {
    if (!header_written_) return;
    flushing_ = true;
    std::string ignored;
    if (Encode(audio_.get(), nullptr, audio_stream_, &ignored) &&
        Encode(video_.get(), nullptr, video_stream_, &ignored)) {
      ArmDeadline(kWriteTimeout);
      av_write_trailer(context_);
      // The stream's end leaves at the rate, as far as it does within the write time-out.
      if (paced_) paced_->Drain(kWriteTimeout);
    }
  }

  // Sends the tick's sound and, when encode_picture, its picture.
  bool Write(const ProgramFrame& frame, bool encode_picture, std::string* error) {
    if (!WriteSound(frame, error)) return false;
    if (encode_picture && !WritePicture(frame, error)) return false;
    // The muxer sends the sound it holds back: frames of silence are smaller than a PES it
    // would send on its own.
    ArmDeadline(kWriteTimeout);
    const int code = av_write_frame(context_, nullptr);
    if (code < 0) return *error = "sending: " + AvError(code), false;
    // The paced sender writes on its own thread: a failure there ends the session here.
    std::string why;
    if (paced_ && paced_->Failed(&why)) return *error = "sending: " + why, false;
    return true;
  }

 private:
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  using WritePacket = int (*)(void*, const std::uint8_t*, int);
#else
  using WritePacket = int (*)(void*, std::uint8_t*, int);
#endif
  // The muxer writes into the deck's own sink (the SRT listener, the paced RIST sender), which
  // queues and never fails or waits.
  bool OpenOwnIo(void* sink, WritePacket write, std::string* error) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kOwnIoBytes));
    if (buffer == nullptr) return *error = "out of memory", false;
    context_->pb = avio_alloc_context(buffer, kOwnIoBytes, 1, sink, nullptr, write, nullptr);
    if (context_->pb == nullptr) {
      av_free(buffer);
      return *error = "out of memory", false;
    }
    context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    return true;
  }
  template <typename Sink>
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  static int ToSink(void* opaque, const std::uint8_t* data, int size) {
#else
  static int ToSink(void* opaque, std::uint8_t* data, int size) {
#endif
    static_cast<Sink*>(opaque)->Send(data, static_cast<std::size_t>(size));
    return size;
  }

  // The muxer writes into the paced sender, whose thread writes each message into the RIST
  // protocol opened in rist_io_, at the transport rate.
  bool StartPacing(std::string* error) {
    const long rate = StreamMuxRate(settings_, format_);
    const auto queue_bytes = static_cast<std::size_t>(
        rate / kBitsPerByte * (settings_.delay_ms + kPacedQueueMarginMs) / 1000);
    paced_ = std::make_unique<CPacedSender>(
        rate, queue_bytes, [this](const std::uint8_t* data, std::size_t size, std::string* why) {
          avio_write(rist_io_, data, static_cast<int>(size));
          avio_flush(rist_io_);
          if (rist_io_->error >= 0) return true;
          *why = AvError(rist_io_->error);
          return false;
        });
    if (!OpenOwnIo(paced_.get(), &ToSink<CPacedSender>, error)) return false;
    paced_->Start();
    return true;
  }
  // The RIST protocol's: on the paced sender's thread once open, where only the session's end
  // interrupts it; while it opens, on the output's, a stop and the connect time-out do too.
  static int InterruptRist(void* opaque) {
    auto* self = static_cast<Session*>(opaque);
    if (self->rist_abort_.load()) return 1;
    return self->opened_.load() ? 0 : Interrupt(opaque);
  }

  static int Interrupt(void* opaque) {
    auto* self = static_cast<Session*>(opaque);
    // Stopping interrupts everything but the last flush, which has its own deadline.
    if (self->stopping_.load() && !self->flushing_) return 1;
    const auto deadline = self->deadline_;
    return deadline != std::chrono::steady_clock::time_point{} &&
           std::chrono::steady_clock::now() > deadline;
  }
  void ArmDeadline(std::chrono::milliseconds timeout) {
    deadline_ = std::chrono::steady_clock::now() + timeout;
  }

  bool OpenVideo(std::string* error) {
    const bool h264 = settings_.video == StreamVideoCodec::kH264;
    const AVCodec* codec = h264 ? avcodec_find_encoder_by_name("libx264")
                                : avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (codec == nullptr) {
      return *error = h264 ? "this FFmpeg has no H.264 encoder (libx264)"
                           : "this FFmpeg has no MPEG-2 video encoder",
             false;
    }
    video_.reset(avcodec_alloc_context3(codec));
    picture_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!video_ || !picture_ || !packet_) return *error = "out of memory", false;
    AVCodecContext* c = video_.get();
    c->width = format_.width;
    c->height = format_.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{format_.rate_den, format_.rate_num};
    c->framerate = AVRational{format_.rate_num, format_.rate_den};
    const int fps = format_.TimecodeFps();
    // A key frame at least every second, so that a receiver joining late has pictures soon.
    c->gop_size = h264 ? fps : fps / 2;
    c->max_b_frames = 0;
    const long bitrate = VideoBitrate(settings_, format_);
    c->bit_rate = bitrate;
    c->rc_max_rate = bitrate;
    // The largest picture the encoder's buffer lets through still arrives within the delay.
    c->rc_buffer_size = static_cast<int>(std::min<double>(
        static_cast<double>(bitrate),
        kBufferShareOfDelay * settings_.delay_ms / kMicrosPerMilli * static_cast<double>(bitrate)));
    // Standard definition is 4:3 (16:9 for wide material) with non-square pixels, in the
    // colours of its line standard; HD is square and BT.709.
    if (format_.height <= 576) {
      c->sample_aspect_ratio = StandardDefinitionAspect(format_, wide_);
      const bool line625 = format_.TimecodeFps() == 25;
      c->colorspace = line625 ? AVCOL_SPC_BT470BG : AVCOL_SPC_SMPTE170M;
      c->color_primaries = line625 ? AVCOL_PRI_BT470BG : AVCOL_PRI_SMPTE170M;
      c->color_trc = line625 ? AVCOL_TRC_GAMMA28 : AVCOL_TRC_SMPTE170M;
    } else {
      c->sample_aspect_ratio = AVRational{1, 1};
      c->colorspace = AVCOL_SPC_BT709;
      c->color_primaries = AVCOL_PRI_BT709;
      c->color_trc = AVCOL_TRC_BT709;
    }
    AVDictionary* options = nullptr;
    if (h264) {
      av_dict_set(&options, "preset", settings_.x264_preset.c_str(), 0);
      av_dict_set(&options, "tune", "zerolatency", 0);
      // Picture timing in every access unit, to carry the timecode (see SetH264PictureTimecode).
      av_dict_set(&options, "x264-params", "aud=1:pic-struct=1", 0);
    }
    const int code = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (code < 0) return *error = "video encoder: " + AvError(code), false;
    // A reopened encoder (a new aspect) keeps the stream as the muxer set it up.
    if (!header_written_) {
      if (avcodec_parameters_from_context(video_stream_->codecpar, c) < 0) {
        return *error = "video stream parameters", false;
      }
      video_stream_->time_base = c->time_base;
      video_stream_->avg_frame_rate = c->framerate;
    }
    picture_->format = c->pix_fmt;
    picture_->width = c->width;
    picture_->height = c->height;
    if (av_frame_get_buffer(picture_.get(), 0) < 0) return *error = "out of memory", false;
    return true;
  }

  bool OpenAudio(std::string* error) {
    const bool aac = settings_.audio == StreamAudioCodec::kAac;
    const AVCodec* codec = avcodec_find_encoder(aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_MP2);
    if (codec == nullptr) return *error = "this FFmpeg has no sound encoder", false;
    audio_stream_ = avformat_new_stream(context_, nullptr);
    audio_.reset(avcodec_alloc_context3(codec));
    sound_.reset(av_frame_alloc());
    if (audio_stream_ == nullptr || !audio_ || !sound_) return *error = "out of memory", false;
    AVCodecContext* c = audio_.get();
    c->sample_fmt = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    c->sample_rate = kProgramSoundRate;
    av_channel_layout_default(&c->ch_layout, kProgramSoundChannels);
    c->bit_rate = settings_.audio_bitrate;
    c->time_base = AVRational{1, kProgramSoundRate};
    const int code = avcodec_open2(c, codec, nullptr);
    if (code < 0) return *error = "sound encoder: " + AvError(code), false;
    if (avcodec_parameters_from_context(audio_stream_->codecpar, c) < 0) {
      return *error = "sound stream parameters", false;
    }
    audio_stream_->time_base = c->time_base;
    sound_->format = c->sample_fmt;
    sound_->sample_rate = c->sample_rate;
    sound_->nb_samples = c->frame_size;
    if (av_channel_layout_copy(&sound_->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(sound_.get(), 0) < 0) {
      return *error = "out of memory", false;
    }
    return true;
  }

  bool WriteSound(const ProgramFrame& frame, std::string* error) {
    const std::int64_t start = SoundSampleAtTick(frame.tick, format_.rate_num, format_.rate_den) -
                               SoundSampleAtTick(origin_tick_, format_.rate_num, format_.rate_den);
    const std::int64_t queued_end =
        pending_start_ + static_cast<std::int64_t>(pending_.size()) / kProgramSoundChannels;
    if (start > queued_end && start - queued_end <= kMaxSilenceFill) {
      // Ticks were lost before they reached the encoder: keep the sound continuous.
      pending_.resize(pending_.size() + (start - queued_end) * kProgramSoundChannels, 0);
    } else if (start != queued_end) {
      pending_.clear();
      pending_start_ = start;
    }
    pending_.insert(pending_.end(), frame.sound.begin(), frame.sound.end());
    const std::size_t frame_values =
        static_cast<std::size_t>(audio_->frame_size) * kProgramSoundChannels;
    std::size_t used = 0;
    while (pending_.size() - used >= frame_values) {
      if (av_frame_make_writable(sound_.get()) < 0) return *error = "out of memory", false;
      const std::int16_t* from = pending_.data() + used;
      if (audio_->sample_fmt == AV_SAMPLE_FMT_FLTP) {
        auto* left = reinterpret_cast<float*>(sound_->data[0]);
        auto* right = reinterpret_cast<float*>(sound_->data[1]);
        for (int i = 0; i < audio_->frame_size; ++i) {
          left[i] = from[2 * i] / 32768.0f;
          right[i] = from[2 * i + 1] / 32768.0f;
        }
      } else {
        std::memcpy(sound_->data[0], from, frame_values * sizeof(std::int16_t));
      }
      sound_->pts = pending_start_;
      used += frame_values;
      pending_start_ += audio_->frame_size;
      if (!Encode(audio_.get(), sound_.get(), audio_stream_, error)) return false;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
  }

  bool WritePicture(const ProgramFrame& frame, std::string* error) {
    if (!frame.pixels || frame.width <= 0 || frame.height <= 0 ||
        frame.pixels->size() < static_cast<std::size_t>(frame.width) * frame.height) {
      return true;  // nothing to show; the receiver keeps the last picture
    }
    const std::uint32_t* source = frame.pixels->data();
    if (settings_.burn_timecode) {
      burned_.assign(frame.pixels->begin(), frame.pixels->end());
      BurnInTimecode(burned_.data(), frame.width, frame.height, frame.timecode);
      source = burned_.data();
    }
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height,
                                       AV_PIX_FMT_RGB32, video_->width, video_->height,
                                       video_->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) return *error = "picture conversion", false;
    if (video_->colorspace == AVCOL_SPC_BT709) {
      const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
      sws_setColorspaceDetails(scaler_.get(), coefficients, 1, coefficients, 0, 0, 1 << 16,
                               1 << 16);
    }
    if (av_frame_make_writable(picture_.get()) < 0) return *error = "out of memory", false;
    // Wide material is decided per tape: a new aspect takes a new sequence from the encoder.
    if (format_.height <= 576 && frame.wide != wide_) {
      wide_ = frame.wide;
      if (!ReopenVideo(error)) return false;
    }
    const std::uint8_t* planes[1] = {reinterpret_cast<const std::uint8_t*>(source)};
    const int strides[1] = {frame.width * 4};
    sws_scale(scaler_.get(), planes, strides, 0, frame.height, picture_->data, picture_->linesize);
    picture_->pts = frame.tick - origin_tick_;
    timecodes_.push_back({picture_->pts, ParseStreamTimecode(frame.timecode)});
    return Encode(video_.get(), picture_.get(), video_stream_, error);
  }

  // The encoder's last pictures out, then a new one with the present aspect.
  bool ReopenVideo(std::string* error) {
    if (!Encode(video_.get(), nullptr, video_stream_, error)) return false;
    return OpenVideo(error);
  }

  // The coded picture carries its tape timecode in the codec's own field: H.264's picture
  // timing, MPEG-2's GOP header.
  bool StampTimecode(AVPacket* packet, std::string* error) {
    while (!timecodes_.empty() && timecodes_.front().first < packet->pts) timecodes_.pop_front();
    if (timecodes_.empty() || timecodes_.front().first != packet->pts) return true;
    const std::optional<StreamTimecode> timecode = timecodes_.front().second;
    if (av_packet_make_writable(packet) < 0) return *error = "out of memory", false;
    if (settings_.video == StreamVideoCodec::kMpeg2) {
      // The field is mandatory: black before any picture gets zeros, not the encoder's count.
      SetMpeg2GopTimecode(packet->data, static_cast<std::size_t>(packet->size),
                          timecode.value_or(StreamTimecode{}));
      return true;
    }
    if (!timecode) return true;  // no picture yet: no timecode
    unit_.assign(packet->data, packet->data + packet->size);
    if (!SetH264PictureTimecode(&unit_, *timecode)) return true;
    const int grow = static_cast<int>(unit_.size()) - packet->size;
    if (grow > 0 && av_grow_packet(packet, grow) < 0) return *error = "out of memory", false;
    if (grow < 0) av_shrink_packet(packet, static_cast<int>(unit_.size()));
    std::memcpy(packet->data, unit_.data(), unit_.size());
    return true;
  }

  bool Encode(AVCodecContext* codec, AVFrame* frame, AVStream* stream, std::string* error) {
    int code = avcodec_send_frame(codec, frame);
    if (code < 0) return *error = "encoding: " + AvError(code), false;
    while ((code = avcodec_receive_packet(codec, packet_.get())) >= 0) {
      if (codec == video_.get() && !StampTimecode(packet_.get(), error)) return false;
      av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
      packet_->stream_index = stream->index;
      ArmDeadline(kWriteTimeout);
      code = av_interleaved_write_frame(context_, packet_.get());
      if (code < 0) {
        return *error = code == AVERROR_EXIT ? std::string("the destination stopped taking data")
                                             : "sending: " + AvError(code),
               false;
      }
    }
    if (code != AVERROR(EAGAIN) && code != AVERROR_EOF) {
      return *error = "encoding: " + AvError(code), false;
    }
    return true;
  }

  const StreamSettings settings_;
  const OutputFormat format_;
  const std::atomic<bool>& stopping_;
  const std::int64_t origin_tick_;
  bool wide_;                     // the aspect the video encoder was opened with
  CSrtListener* const listener_;  // not owned; null for FFmpeg's protocols
  // RIST: the protocol's context, written by paced_'s thread only, and what interrupts it.
  AVIOContext* rist_io_ = nullptr;
  std::unique_ptr<CPacedSender> paced_;
  std::atomic<bool> rist_abort_{false};
  std::atomic<bool> opened_{false};  // the protocol's open returned
  std::chrono::steady_clock::time_point deadline_{};
  bool flushing_ = false;

  AVFormatContext* context_ = nullptr;  // owned; closed in the destructor
  bool header_written_ = false;
  AVStream* video_stream_ = nullptr;
  AVStream* audio_stream_ = nullptr;
  AvCodecHandle video_;
  AvCodecHandle audio_;
  AvFrameHandle picture_;
  AvFrameHandle sound_;
  AvPacketHandle packet_;
  SwsHandle scaler_;
  std::vector<std::uint32_t> burned_;
  std::vector<std::int16_t> pending_;  // sound not yet encoded, interleaved
  std::int64_t pending_start_ = 0;     // sample number of pending_'s first sample
  // The timecodes of the pictures in the video encoder, by their timestamps.
  std::deque<std::pair<std::int64_t, std::optional<StreamTimecode>>> timecodes_;
  std::vector<std::uint8_t> unit_;  // an access unit while its timecode is written
};

bool ProbeStreamEncoders(const StreamSettings& settings, std::string* error) {
  const std::atomic<bool> stopping{false};
  CStreamOutput::Session session(settings, kProbeFormat, stopping, 0, false);
  std::string why;
  bool opened = false;
  const std::string said =
      HideSecrets(CaptureFfmpegErrors([&] { opened = session.OpenEncoders(&why); }), settings);
  if (opened) return true;
  *error = why + Said(said);
  return false;
}

CStreamOutput::CStreamOutput(StreamSettings settings, OutputFormat format,
                             std::shared_ptr<const IBoardClock> clock, ResolveFunction resolve)
    : settings_(std::move(settings)),
      format_(format),
      clock_(std::move(clock)),
      resolve_(std::move(resolve)) {
  RouteFfmpegLog();
  // FFmpeg's SRT caller loads the same library: its messages go through the deck's handler too.
  if (settings_.scheme == "srt") InstallSrtLog();
  if (settings_.srt_listener && !settings_.has_passphrase && !IsLoopbackHost(settings_.host)) {
    DebugOutput("Warn Output", "output " + settings_.display_name +
                                   ": an SRT listener without a passphrase lets any caller take "
                                   "the program; add passphrase=... to the address");
  }
  const long needed = VideoBitrate(settings_, format_) + settings_.audio_bitrate;
  if (static_cast<double>(StreamMuxRate(settings_, format_)) <
      static_cast<double>(needed) * kLeastMuxRateMargin) {
    DebugOutput("Warn Output",
                "output " + settings_.display_name + ": muxrate " +
                    std::to_string(StreamMuxRate(settings_, format_)) +
                    " leaves no room for the video and sound (" + std::to_string(needed) +
                    " b/s and the packets' headers): the stream falls behind its clock and "
                    "receivers stall; raise muxrate= or lower vb=");
  }
  thread_ = std::thread([this] { Run(); });
}

CStreamOutput::~CStreamOutput() { Stop(); }

void CStreamOutput::Stop() {
  // First, so that what a stop interrupts is not taken for a failure of the destination.
  stopping_.store(true);
  std::shared_ptr<CNameResolution> resolving;
  std::shared_ptr<CSrtListener> listener;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    resolving = resolving_;
    listener = listener_;
  }
  // Outside the lock: no two are held together. A resolution that starts later sees stop_, and
  // so does a listener bound later.
  if (resolving) resolving->Cancel();
  if (listener) listener->Interrupt();
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string CStreamOutput::Figures() const {
  const ProgramSinkStats stats = Stats();
  const CLatencyRecord::Summary encode = encode_times_.Summarize();
  const CLatencyRecord::Summary latency = tick_to_sent_.Summarize();
  auto ms = [](CLatencyRecord::Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  // A listener's ticks with no caller were not lost: they are counted apart.
  std::string uncalled;
  if (settings_.srt_listener) {
    const std::shared_ptr<CSrtListener> listener = Listener();
    uncalled = ", " + std::to_string(uncalled_.load()) +
               " with no caller (callers: " + std::to_string(listener ? listener->Served() : 0) +
               " served, " + std::to_string(listener ? listener->Dropped() : 0) + " dropped, " +
               std::to_string(listener ? listener->Refused() : 0) + " refused)";
  }
  char text[kFiguresLength];
  std::snprintf(text, sizeof text,
                "output %s: %lld ticks, %lld pictures sent, %lld dropped%s, %lld failures; encode "
                "p50 %.2f p99 %.2f max %.2f ms; tick to sent p50 %.2f p99 %.2f max %.2f ms, then "
                "presented %d ms after sending",
                settings_.display_name.c_str(), static_cast<long long>(stats.received),
                static_cast<long long>(stats.sent), static_cast<long long>(stats.dropped),
                uncalled.c_str(), static_cast<long long>(stats.failures), ms(encode.p50),
                ms(encode.p99), ms(encode.max), ms(latency.p50), ms(latency.p99), ms(latency.max),
                settings_.delay_ms);
  return text;
}

void CStreamOutput::Push(std::shared_ptr<const ProgramFrame> frame) {
  if (!frame) return;
  received_.fetch_add(1);
  {
    std::lock_guard lock(mutex_);
    if (stop_) {
      dropped_.fetch_add(1);  // nothing sends it any more
      return;
    }
    const bool connected = connected_.load();
    const std::size_t limit = connected ? kMaxQueuedTicks : kUnconnectedQueuedTicks;
    while (queue_.size() >= limit) {
      queue_.pop_front();
      // A listener with no caller has nobody to send to: that is no loss.
      (settings_.srt_listener && !connected ? uncalled_ : dropped_).fetch_add(1);
    }
    queue_.push_back(std::move(frame));
    LimitQueuedPictures(&queue_);
  }
  wake_.notify_one();
}

ProgramSinkStats CStreamOutput::Stats() const {
  ProgramSinkStats stats;
  stats.received = received_.load();
  stats.sent = sent_.load();
  stats.dropped = dropped_.load();
  stats.failures = failures_.load();
  if (settings_.srt_listener) stats.callers = ListenerCallers();
  return stats;
}

std::size_t CStreamOutput::QueuedTicks() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t CStreamOutput::QueuedPictureBytes() const {
  std::lock_guard lock(mutex_);
  PictureBytes bytes;
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) bytes.Add((*it)->pixels.get());
  return bytes.bytes();
}

std::shared_ptr<const ProgramFrame> CStreamOutput::TakeNext(std::size_t* backlog) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
  if (stop_) return nullptr;
  std::shared_ptr<const ProgramFrame> frame = std::move(queue_.front());
  queue_.pop_front();
  *backlog = queue_.size();
  return frame;
}

bool CStreamOutput::WaitBeforeRetry(int* retry_ms) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(*retry_ms), [this] { return stop_; });
  *retry_ms = std::min(*retry_ms * 2, kLastRetryMs);
  // What arrived while the destination was away is lost.
  dropped_.fetch_add(static_cast<std::int64_t>(queue_.size()));
  queue_.clear();
  return !stop_;
}

void CStreamOutput::DropQueued() {
  std::lock_guard lock(mutex_);
  dropped_.fetch_add(static_cast<std::int64_t>(queue_.size()));
  queue_.clear();
}

std::unique_ptr<CStreamOutput::Session> CStreamOutput::Connect(std::int64_t origin_tick, bool wide,
                                                               COutageReport* outage) {
  StreamSettings settings = settings_;
  std::string error;
  std::string said;
  std::unique_ptr<Session> opening;
  bool opened = ResolveDestination(&settings, &error);
  std::shared_ptr<CSrtListener> listener;
  if (opened && settings_.srt_listener) {
    listener = ListenForCaller(settings, &error);
    if (!listener && stopping_.load()) return nullptr;
    opened = listener != nullptr;
  }
  if (opened) {
    opening = std::make_unique<Session>(std::move(settings), format_, stopping_, origin_tick, wide,
                                        listener.get());
    // What FFmpeg says of a failed connection goes into the outage's report, not a line a retry.
    said = HideSecrets(CaptureFfmpegErrors([&] { opened = opening->Open(&error); }), settings_);
    if (opened && !said.empty()) DebugOutput("FFmpeg", said);
  }
  if (!opened) {
    if (stopping_.load()) return nullptr;
    failures_.fetch_add(1);
    const std::string line = outage->Failed(error + Said(said) + "; retrying", SteadyNs());
    if (!line.empty()) DebugOutput("Err Output", line);
    return nullptr;
  }
  connected_.store(true);
  // After an outage, sending works again only once the destination has kept taking data.
  if (!outage->InOutage()) {
    DebugOutput("Info Output", "output " + settings_.display_name + ": sending the program");
  }
  return opening;
}

std::shared_ptr<CSrtListener> CStreamOutput::ListenForCaller(const StreamSettings& settings,
                                                             std::string* error) {
  std::shared_ptr<CSrtListener> listener = Listener();
  if (!listener) {
    listener = CSrtListener::Open(settings, StreamMuxRate(settings, format_),
                                  "output " + settings_.display_name, error);
    if (!listener) return nullptr;
    std::lock_guard lock(mutex_);
    listener_ = listener;
    if (stop_) listener->Interrupt();  // Stop came while it was bound, before it was seen
  }
  if (!listener->WaitForCaller()) return nullptr;
  return listener;
}

bool CStreamOutput::ResolveDestination(StreamSettings* settings, std::string* error) {
  if (settings->host.empty() || IsNumericHost(settings->host)) return true;
  auto resolution = std::make_shared<CNameResolution>(settings->host, resolve_);
  {
    std::lock_guard lock(mutex_);
    if (stop_) return false;
    resolving_ = resolution;
  }
  std::string address;
  const CNameResolution::Outcome outcome = resolution->Wait(kConnectTimeout, &address, error);
  {
    std::lock_guard lock(mutex_);
    resolving_.reset();
  }
  if (outcome == CNameResolution::Outcome::kTimedOut) {
    *error = "cannot resolve " + settings->host + ": no answer in time";
  }
  if (outcome != CNameResolution::Outcome::kResolved) return false;
  // FFmpeg gets the address: it would resolve the name again, and nothing interrupts that.
  const std::string name_part = settings->scheme + "://" + settings->host + ":";
  const std::string address_part =
      settings->scheme + "://" +
      (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":";
  settings->protocol_url.replace(0, name_part.size(), address_part);
  settings->host = address;
  return true;
}

void CStreamOutput::SkipStaleBacklog(std::shared_ptr<const ProgramFrame>* frame,
                                     std::size_t* backlog) {
  // A caller may have taken long to come: start from the newest tick, not a stale backlog.
  // The tick or two that queue while the encoder itself opens are caught up with as usual; a
  // listener's tick that waited for the first caller is stale whenever a newer one came.
  std::lock_guard lock(mutex_);
  if (queue_.size() > kPictureBacklogLimit || (settings_.srt_listener && !queue_.empty())) {
    (settings_.srt_listener ? uncalled_ : dropped_)
        .fetch_add(static_cast<std::int64_t>(queue_.size()));
    *frame = std::move(queue_.back());
    queue_.clear();
    *backlog = 0;
  }
}

bool CStreamOutput::SendTick(Session& session, const ProgramFrame& frame, std::size_t backlog,
                             COutageReport* outage) {
  // A tick whose picture the queue let go sends its sound alone.
  const bool encode_picture = backlog <= kPictureBacklogLimit && frame.pixels != nullptr;
  if (!encode_picture) dropped_.fetch_add(1);
  const std::int64_t started_ns = clock_->NowNs();
  std::string error;
  bool written = false;
  const std::string said = HideSecrets(
      CaptureFfmpegErrors([&] { written = session.Write(frame, encode_picture, &error); }),
      settings_);
  if (written && !said.empty()) DebugOutput("FFmpeg", said);  // said, though it went on
  if (!written) {
    if (encode_picture) dropped_.fetch_add(1);
    connected_.store(false);
    if (stopping_.load()) return false;
    failures_.fetch_add(1);
    const std::string line =
        outage->Failed("lost (" + error + Said(said) + "); retrying", SteadyNs());
    if (!line.empty()) DebugOutput("Err Output", line);
    return false;
  }
  if (encode_picture) {
    sent_.fetch_add(1);
    const std::int64_t done_ns = clock_->NowNs();
    encode_times_.Add(std::chrono::nanoseconds(done_ns - started_ns));
    if (frame.steady_ns > 0) tick_to_sent_.Add(std::chrono::nanoseconds(done_ns - frame.steady_ns));
  }
  return true;
}

std::shared_ptr<CSrtListener> CStreamOutput::Listener() const {
  std::lock_guard lock(mutex_);
  return listener_;
}

int CStreamOutput::ListenerCallers() const {
  const std::shared_ptr<CSrtListener> listener = Listener();
  return listener ? listener->Callers() : 0;
}

std::int64_t CStreamOutput::SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CStreamOutput::Run() {
  SetCurrentThreadName("stream out");
  SetCurrentThreadPriority(ThreadPriority::kCodec, "Stream out");
  std::unique_ptr<Session> session;
  std::int64_t origin_tick = -1;
  int retry_ms = kFirstRetryMs;
  COutageReport outage("output " + settings_.display_name);
  std::int64_t session_start_ns = 0;
  while (true) {
    std::size_t backlog = 0;
    std::shared_ptr<const ProgramFrame> frame = TakeNext(&backlog);
    if (!frame) break;
    if (origin_tick < 0) origin_tick = frame->tick;
    if (!session) {
      session = Connect(origin_tick, frame->wide, &outage);
      if (!session) {
        dropped_.fetch_add(1);
        if (stopping_.load() || !WaitBeforeRetry(&retry_ms)) break;
        continue;
      }
      session_start_ns = SteadyNs();
      SkipStaleBacklog(&frame, &backlog);
    }
    if (!SendTick(*session, *frame, backlog, &outage)) {
      session.reset();
      if (stopping_.load() || !WaitBeforeRetry(&retry_ms)) break;
      continue;
    }
    if (settings_.srt_listener && ListenerCallers() == 0) {
      // The last caller left: the encoders wait for the next one, which is no failure.
      session.reset();
      connected_.store(false);
      continue;
    }
    // A destination that takes the connection and then fails every write keeps the back-off.
    const std::int64_t now_ns = SteadyNs();
    if (now_ns - session_start_ns >= std::chrono::nanoseconds(kSteadySession).count()) {
      retry_ms = kFirstRetryMs;
      const std::string line = outage.Recovered(now_ns);
      if (!line.empty()) DebugOutput("Info Output", line);
    }
  }
  if (session) session->Finish();
  session.reset();
  // The callers get the stream's end, as far as they take it within the write time-out.
  if (const std::shared_ptr<CSrtListener> listener = Listener()) listener->Close(kWriteTimeout);
  // Ticks still queued at the stop were not sent: the figures count them as dropped.
  DropQueued();
}

}  // namespace vxr
