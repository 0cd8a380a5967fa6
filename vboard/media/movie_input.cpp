#include "vboard/media/movie_input.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "vboard/media/ffmpeg_log.h"

namespace vxr {
namespace {

constexpr const char* kMovieFormats =
    "avi,mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,mxf,mpeg,mpegts,flv,asf,wav";

// Packets looked at for the earliest showing time: more than any reordering delay.
constexpr int kLeadingPackets = 32;

int Interrupted(void* stop) { return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0; }

}  // namespace

int OpenMovieInput(const std::string& path, const std::atomic<bool>* stop,
                   AVFormatContext** input) {
  InstallFfmpegLog();  // what the input side finds is a result: the library stays quiet
  *input = avformat_alloc_context();
  if (*input == nullptr) return AVERROR(ENOMEM);
  if (stop != nullptr) {
    (*input)->interrupt_callback.callback = &Interrupted;
    (*input)->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stop);
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kMovieFormats, 0);
  const std::string url = "file:" + path;
  // On failure the library frees the context and nulls *input.
  const int opened = avformat_open_input(input, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  return opened;
}

int FindVideoStream(const AVFormatContext* input) {
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* stream = input->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
    if (avcodec_find_decoder(stream->codecpar->codec_id) == nullptr) continue;
    return static_cast<int>(i);
  }
  return -1;
}

void ReadOnlyStream(AVFormatContext* input, int index) {
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    input->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
}

std::int64_t FirstPictureTime(AVFormatContext* input, int index) {
  const AVStream* stream = input->streams[index];
  const std::int64_t declared = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return declared;
  std::int64_t earliest = AV_NOPTS_VALUE;
  bool first = true;
  for (int read = 0; read < kLeadingPackets && av_read_frame(input, packet) >= 0;) {
    const bool ours = packet->stream_index == index;
    const std::int64_t pts = packet->pts;
    av_packet_unref(packet);
    if (!ours) continue;
    ++read;
    // Without a showing time on the key frame the container keeps none (AVI): the declared
    // start counts.
    if (first && pts == AV_NOPTS_VALUE) break;
    first = false;
    if (pts != AV_NOPTS_VALUE && (earliest == AV_NOPTS_VALUE || pts < earliest)) earliest = pts;
  }
  av_packet_free(&packet);
  return earliest == AV_NOPTS_VALUE ? declared : std::min(earliest, declared);
}

}  // namespace vxr
