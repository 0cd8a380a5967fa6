#include "vboard/media/movie_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/rational.h>
}

#include "player/clv_movie.h"
#include "player/clv_results.h"
#include "vboard/media/movie_input.h"

namespace vxr {
namespace {

constexpr int kMaxPacketsToLastFrame = 2000;  // pictures read at the most: a long group of pictures
                                              // before the last frame

struct InputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

HRESULT FromErrno(int error) {
  return error == EACCES || error == EPERM ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
                                           : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

// The file itself, before any parsing: present, a regular file, readable, not empty.
HRESULT CheckFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return FromErrno(errno);
  if (!S_ISREG(info.st_mode)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  ::close(fd);
  return info.st_size == 0 ? CLV_E_NOT_A_MOVIE : S_OK;
}

std::uint32_t FieldFlags(AVFieldOrder order) {
  switch (order) {
    case AV_FIELD_TT:
    case AV_FIELD_BT:
      return kClvFlagInterlaced | kClvFlagTopFieldFirst;
    case AV_FIELD_BB:
    case AV_FIELD_TB:
      return kClvFlagInterlaced | kClvFlagBottomFieldFirst;
    default:
      return 0;
  }
}

// Frames in the stream, 0 when nothing tells. *estimated: only the container's duration told,
// which spans every stream: sound that starts before the pictures (an encoder's priming) or
// ends after them makes it longer than the pictures.
std::int64_t FrameCount(const AVFormatContext* context, const AVStream* stream, AVRational rate,
                        bool* estimated) {
  *estimated = false;
  if (stream->nb_frames > 0) return stream->nb_frames;
  if (stream->duration > 0) {
    return av_rescale_q_rnd(stream->duration, stream->time_base, av_inv_q(rate),
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF));
  }
  if (context->duration > 0) {
    *estimated = true;
    std::int64_t duration = context->duration;
    if (context->start_time != AV_NOPTS_VALUE && stream->start_time != AV_NOPTS_VALUE) {
      const std::int64_t pictures_start =
          av_rescale_q(stream->start_time, stream->time_base, AVRational{1, AV_TIME_BASE});
      if (pictures_start > context->start_time && pictures_start - context->start_time < duration) {
        duration -= pictures_start - context->start_time;
      }
    }
    return av_rescale_q_rnd(duration, AVRational{1, AV_TIME_BASE}, av_inv_q(rate),
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF));
  }
  return 0;
}

// A truncated movie still announces its full length in its header: seek to the last frame and
// read it.
bool LastFrameIsThere(AVFormatContext* context, int index, AVRational rate, std::int64_t frames) {
  const AVStream* stream = context->streams[index];
  const std::int64_t start = FirstPictureTime(context, index);
  const std::int64_t last = start + av_rescale_q(frames - 1, av_inv_q(rate), stream->time_base);
  // Half a frame of the stream's time base: timestamps of rounded rates may sit just below.
  const std::int64_t slack = av_rescale_q(1, av_inv_q(rate), stream->time_base) / 2;
  if (av_seek_frame(context, index, last, AVSEEK_FLAG_BACKWARD) < 0) return false;
  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  if (!packet) return false;
  // Only the picture stream's packets count: the others are dropped by the demuxer anyway.
  for (int n = 0; n < kMaxPacketsToLastFrame;) {
    if (av_read_frame(context, packet.get()) < 0) return false;
    const bool ours = packet->stream_index == index;
    const std::int64_t when = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const bool corrupt = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0 || packet->size <= 0;
    av_packet_unref(packet.get());
    if (!ours) continue;
    ++n;
    if (when == AV_NOPTS_VALUE) continue;
    if (when >= last - slack) return !corrupt;
  }
  return false;
}

}  // namespace

HRESULT ProbeMovie(const std::string& path, MovieFacts* facts) {
  if (facts == nullptr) return E_POINTER;
  if (path.empty()) return E_INVALIDARG;
  if (const HRESULT file = CheckFile(path); FAILED(file)) return file;

  AVFormatContext* raw = nullptr;
  const int opened = OpenMovieInput(path, nullptr, &raw);
  if (opened < 0) {
    if (opened == AVERROR(EACCES) || opened == AVERROR(EPERM)) {
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    }
    return CLV_E_NOT_A_MOVIE;
  }
  Input input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return CLV_E_DAMAGED_MOVIE;

  const int index = FindVideoStream(input.get());
  if (index < 0) return CLV_E_NO_VIDEO;
  ReadOnlyStream(input.get(), index);
  const AVStream* stream = input->streams[index];
  const AVCodecParameters* codec = stream->codecpar;
  if (codec->width < 1 || codec->height < 1 || codec->width > 16384 || codec->height > 16384) {
    return CLV_E_DAMAGED_MOVIE;
  }
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return CLV_E_DAMAGED_MOVIE;
  av_reduce(&rate.num, &rate.den, rate.num, rate.den, 1 << 20);
  const double fps = av_q2d(rate);
  if (!(fps >= 1.0 && fps <= 1000.0)) return CLV_E_DAMAGED_MOVIE;
  bool estimated = false;
  std::int64_t frames = FrameCount(input.get(), stream, rate, &estimated);
  if (frames < 1 || frames > 0xFFFFFFFELL) return CLV_E_DAMAGED_MOVIE;
  if (!LastFrameIsThere(input.get(), index, rate, frames)) {
    // A count estimated from the container may be one over for sound that ends after the
    // pictures; a movie cut shorter than that is still refused.
    if (!estimated || frames < 2 || !LastFrameIsThere(input.get(), index, rate, frames - 1)) {
      return CLV_E_DAMAGED_MOVIE;
    }
    --frames;
  }

  MovieFacts found;
  found.path = path;
  found.width = codec->width;
  found.height = codec->height;
  found.rate_num = rate.num;
  found.rate_den = rate.den;
  found.frame_count = static_cast<std::uint32_t>(frames);
  found.flags = FieldFlags(codec->field_order);
  AVRational sample = stream->sample_aspect_ratio;
  if (sample.num <= 0 || sample.den <= 0) sample = codec->sample_aspect_ratio;
  if (sample.num <= 0 || sample.den <= 0) sample = AVRational{1, 1};
  found.aspect_ratio = av_q2d(sample) * codec->width / codec->height;
  found.codec = avcodec_get_name(codec->codec_id);
  *facts = std::move(found);
  return S_OK;
}

}  // namespace vxr
