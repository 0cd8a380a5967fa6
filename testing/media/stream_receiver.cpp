#include "testing/media/stream_receiver.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/timecode.h>
}

#include "testing/media/av_handles.h"
#include "testing/media/tape_picture.h"

namespace vxr {
namespace {

struct Deadline {
  std::chrono::steady_clock::time_point end;
  std::chrono::steady_clock::time_point idle_end;
  std::chrono::milliseconds idle;
};

int Interrupt(void* opaque) {
  const auto* deadline = static_cast<const Deadline*>(opaque);
  const auto now = std::chrono::steady_clock::now();
  return now > deadline->end || now > deadline->idle_end;
}

constexpr int kReceivedSoundRate = 48000;
// Timestamps of sound frames are rounded: a hole shorter than a millisecond is not a hole.
constexpr std::int64_t kSoundSlack = kReceivedSoundRate / 1000;

float SampleAsFloat(const AVFrame* frame, int index) {
  switch (frame->format) {
    case AV_SAMPLE_FMT_FLTP:
      return reinterpret_cast<const float*>(frame->data[0])[index];
    case AV_SAMPLE_FMT_FLT:
      return reinterpret_cast<const float*>(frame->data[0])[index * frame->ch_layout.nb_channels];
    case AV_SAMPLE_FMT_S16P:
      return reinterpret_cast<const std::int16_t*>(frame->data[0])[index] / 32768.0f;
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const std::int16_t*>(
                 frame->data[0])[index * frame->ch_layout.nb_channels] /
             32768.0f;
    default:
      return 0;
  }
}

// The SMPTE 12M timecode FFmpeg's H.264 decoder hands back with a picture from its picture
// timing; empty without one.
std::string PictureTimecode(const AVFrame* frame, AVRational rate) {
  char text[AV_TIMECODE_STR_SIZE] = {};
  if (const AVFrameSideData* side = av_frame_get_side_data(frame, AV_FRAME_DATA_S12M_TIMECODE);
      side != nullptr && side->size >= 2 * sizeof(std::uint32_t)) {
    std::uint32_t words[2];
    std::memcpy(words, side->data, sizeof words);
    if (words[0] >= 1) return av_timecode_make_smpte_tc_string2(text, rate, words[1], 0, 0);
  }
  return std::string();
}

// The time code of an MPEG-2 GOP header in packet, or empty. Read from the packet: FFmpeg's
// decoder hands it back with whichever picture it outputs next, one late.
std::string GopTimecode(const AVPacket* packet) {
  constexpr std::uint8_t kGopStartCode = 0xb8;
  for (int i = 0; i + 8 <= packet->size; ++i) {
    const std::uint8_t* p = packet->data + i;
    if (p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == kGopStartCode) {
      const std::uint32_t bits =
          static_cast<std::uint32_t>(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
      char text[AV_TIMECODE_STR_SIZE] = {};
      return av_timecode_make_mpeg_tc_string(text, bits >> 7);
    }
  }
  return std::string();
}

}  // namespace

ReceivedStream ReceiveStream(const std::string& url, std::size_t max_pictures,
                             std::chrono::milliseconds idle_timeout,
                             std::chrono::milliseconds deadline_after) {
  ReceivedStream received;
  Deadline deadline{std::chrono::steady_clock::now() + deadline_after,
                    std::chrono::steady_clock::now() + deadline_after, idle_timeout};
  AVFormatContext* raw = avformat_alloc_context();
  raw->interrupt_callback.callback = &Interrupt;
  raw->interrupt_callback.opaque = &deadline;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "probesize", "2000000", 0);
  if (avformat_open_input(&raw, url.c_str(), nullptr, &options) < 0) {
    av_dict_free(&options);
    received.error = "cannot open " + url;
    return received;
  }
  av_dict_free(&options);
  AvInputHandle input(raw);
  deadline.idle_end = std::chrono::steady_clock::now() + idle_timeout;
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    received.error = "no stream information";
    return received;
  }
  received.opened = true;
  if (input->nb_programs > 0) {
    const AVDictionaryEntry* name =
        av_dict_get(input->programs[0]->metadata, "service_name", nullptr, 0);
    const AVDictionaryEntry* provider =
        av_dict_get(input->programs[0]->metadata, "service_provider", nullptr, 0);
    if (name != nullptr) received.service_name = name->value;
    if (provider != nullptr) received.service_provider = provider->value;
  }
  const int video_index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio_index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  auto open_decoder = [&](int index) -> AvCodecHandle {
    if (index < 0) return nullptr;
    const AVStream* stream = input->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) return nullptr;
    AvCodecHandle context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), stream->codecpar);
    context->pkt_timebase = stream->time_base;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    return context;
  };
  auto video = open_decoder(video_index);
  if (video_index >= 0) {
    const AVCodecParameters* parameters = input->streams[video_index]->codecpar;
    received.color_primaries = parameters->color_primaries;
    received.color_transfer = parameters->color_trc;
    received.color_matrix = parameters->color_space;
  }
  auto audio = open_decoder(audio_index);
  if (!video) {
    received.error = "no video decoder";
    return received;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool sound_started = false;
  // Damage runs from a loss to the next key frame that decodes whole. A loss shows as a packet
  // the demuxer marks corrupt (a continuity error), a picture that does not decode cleanly, or
  // a picture missing from the sequence of presentation times.
  std::set<std::int64_t> corrupt_positions;
  std::map<std::int64_t, std::string> gop_timecodes;  // by the GOP's first picture's time
  bool video_damaged = false;
  std::int64_t last_pts = AV_NOPTS_VALUE;
  const AVRational rate =
      video_index >= 0 ? input->streams[video_index]->avg_frame_rate : AVRational{0, 1};
  const std::int64_t pts_step =
      rate.num > 0 && rate.den > 0
          ? av_rescale_q(1, av_inv_q(rate), input->streams[video_index]->time_base)
          : 0;
  bool audio_damaged = false;
  auto drain_video = [&] {
    while (avcodec_receive_frame(video.get(), frame) >= 0) {
      ReceivedPicture picture;
      const AVRational tb = input->streams[video_index]->time_base;
      picture.seconds = frame->best_effort_timestamp * av_q2d(tb);
      picture.width = frame->width;
      picture.height = frame->height;
      picture.aspect_num = frame->sample_aspect_ratio.num;
      picture.aspect_den = frame->sample_aspect_ratio.den;
      picture.strip =
          ReadFrameStrip(frame->data[0], frame->linesize[0], frame->width, frame->height);
      const std::int64_t pts = frame->best_effort_timestamp;
      const bool missing_before =
          pts_step > 0 && last_pts != AV_NOPTS_VALUE && pts != last_pts + pts_step;
      last_pts = pts;
      const bool lost = frame->decode_error_flags != 0 ||
                        (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
                        corrupt_positions.count(frame->pkt_pos) > 0;
      picture.gap_before = missing_before;
      video_damaged = lost || ((video_damaged || missing_before) && !frame->key_frame);
      picture.damaged = video_damaged;
      picture.timecode = PictureTimecode(frame, input->streams[video_index]->avg_frame_rate);
      if (auto gop = gop_timecodes.find(pts); gop != gop_timecodes.end()) {
        picture.timecode = gop->second;
      }
      received.pictures.push_back(std::move(picture));
      av_frame_unref(frame);
    }
  };
  auto drain_audio = [&] {
    while (avcodec_receive_frame(audio.get(), frame) >= 0) {
      const AVRational tb = input->streams[audio_index]->time_base;
      const double seconds = frame->best_effort_timestamp * av_q2d(tb);
      if (!sound_started) {
        received.sound_start = seconds;
        sound_started = true;
      }
      // A lost packet leaves a hole where its sound was: the sound after it keeps its time.
      const auto at = static_cast<std::int64_t>(
          std::llround((seconds - received.sound_start) * kReceivedSoundRate));
      const auto have = static_cast<std::int64_t>(received.sound.size());
      if (at > have + kSoundSlack) {
        received.sound_damaged.emplace_back(have, at);
        received.sound.resize(static_cast<std::size_t>(at), 0.0f);
      }
      const auto first = static_cast<std::int64_t>(received.sound.size());
      for (int i = 0; i < frame->nb_samples; ++i) received.sound.push_back(SampleAsFloat(frame, i));
      if (audio_damaged || frame->decode_error_flags != 0) {
        received.sound_damaged.emplace_back(first, first + frame->nb_samples);
      }
      av_frame_unref(frame);
    }
  };
  while (received.pictures.size() < max_pictures && av_read_frame(input.get(), packet) >= 0) {
    deadline.idle_end = std::chrono::steady_clock::now() + idle_timeout;
    const bool corrupt = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
    if (packet->stream_index == video_index) {
      if (corrupt) corrupt_positions.insert(packet->pos);
      if (std::string gop = GopTimecode(packet); !gop.empty()) gop_timecodes[packet->pts] = gop;
      if (avcodec_send_packet(video.get(), packet) >= 0) drain_video();
    } else if (audio && packet->stream_index == audio_index) {
      audio_damaged = corrupt;
      if (avcodec_send_packet(audio.get(), packet) >= 0) drain_audio();
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  return received;
}

bool SoundDamaged(const ReceivedStream& received, std::int64_t first, std::int64_t last) {
  for (const auto& [from, to] : received.sound_damaged) {
    if (from < last && first < to) return true;
  }
  return false;
}

int FreeLoopbackUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::int64_t FindToneOnset(const std::vector<float>& sound, std::int64_t from, float threshold) {
  for (std::int64_t i = std::max<std::int64_t>(0, from);
       i < static_cast<std::int64_t>(sound.size()); ++i) {
    if (std::fabs(sound[static_cast<std::size_t>(i)]) > threshold) return i;
  }
  return -1;
}

}  // namespace vxr
