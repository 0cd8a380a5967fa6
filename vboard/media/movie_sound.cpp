#include "vboard/media/movie_sound.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "vboard/media/av_handles.h"
#include "vboard/media/movie_input.h"

namespace vxr {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
// Packets read while looking for the next sound before a read gives up (video packets between).
constexpr int kMaxPacketsPerDecode = 2000;
// After a seek, decoded sound is dropped up to the wanted sample; a seek that lands further back
// than this is treated as a failure rather than decoded through.
constexpr std::int64_t kMaxSeekRunIn = 60LL * kRate;

}  // namespace

struct CMovieSound::State {
  AvInputHandle input;
  AvCodecHandle codec;
  SwrHandle resampler;
  AvFrameHandle frame;
  AvPacketHandle packet;
  int stream = -1;
  double origin_seconds = 0;  // the first picture's time on the container's clock
  // Decoded, resampled sound not yet read: samples [buffer_start, buffer_start + size / 2).
  std::vector<std::int16_t> buffer;
  std::int64_t buffer_start = 0;
  bool positioned = false;  // buffer_start is known (after the first frame since a seek)
  bool at_end = false;
};

CMovieSound::CMovieSound(std::unique_ptr<State> state) : state_(std::move(state)) {}
CMovieSound::~CMovieSound() = default;

bool CMovieSound::has_sound() const { return state_->stream >= 0; }

std::unique_ptr<CMovieSound> CMovieSound::Open(const std::string& path, std::string* error) {
  auto state = std::make_unique<State>();
  AVFormatContext* raw = nullptr;
  if (OpenMovieInput(path, nullptr, &raw) < 0 || raw == nullptr) {
    *error = "cannot open " + path;
    return nullptr;
  }
  state->input.reset(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) {
    *error = "cannot read " + path;
    return nullptr;
  }
  // Sound sample 0 is where the board's picture 0 stands.
  const int video = FindVideoStream(raw);
  if (video >= 0) {
    state->origin_seconds = FirstPictureTime(raw, video) * av_q2d(raw->streams[video]->time_base);
  }
  // The first sound stream in the file, as a tape's first audio track.
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && state->stream < 0) {
      state->stream = static_cast<int>(i);
    } else {
      raw->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  if (state->stream < 0) return std::unique_ptr<CMovieSound>(new CMovieSound(std::move(state)));
  const AVStream* stream = raw->streams[state->stream];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  state->codec.reset(avcodec_alloc_context3(decoder));
  if (decoder == nullptr || !state->codec ||
      avcodec_parameters_to_context(state->codec.get(), stream->codecpar) < 0 ||
      avcodec_open2(state->codec.get(), decoder, nullptr) < 0) {
    *error = "no decoder for the sound of " + path;
    return nullptr;
  }
  state->codec->pkt_timebase = stream->time_base;
  AVChannelLayout stereo;
  av_channel_layout_default(&stereo, kChannels);
  AVChannelLayout in_layout;
  if (state->codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
      state->codec->ch_layout.nb_channels == 0) {
    av_channel_layout_default(&in_layout, std::max(1, state->codec->ch_layout.nb_channels));
  } else {
    av_channel_layout_copy(&in_layout, &state->codec->ch_layout);
  }
  SwrContext* resampler = nullptr;
  const int code =
      swr_alloc_set_opts2(&resampler, &stereo, AV_SAMPLE_FMT_S16, kRate, &in_layout,
                          state->codec->sample_fmt, state->codec->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in_layout);
  state->resampler.reset(resampler);
  if (code < 0 || resampler == nullptr || swr_init(resampler) < 0) {
    *error = "cannot convert the sound of " + path;
    return nullptr;
  }
  state->frame.reset(av_frame_alloc());
  state->packet.reset(av_packet_alloc());
  if (!state->frame || !state->packet) {
    *error = "out of memory";
    return nullptr;
  }
  return std::unique_ptr<CMovieSound>(new CMovieSound(std::move(state)));
}

bool CMovieSound::SeekTo(std::int64_t sample) {
  State& s = *state_;
  const AVStream* stream = s.input->streams[s.stream];
  const double seconds = std::max(0.0, s.origin_seconds + static_cast<double>(sample) / kRate);
  const auto target = static_cast<std::int64_t>(seconds / av_q2d(stream->time_base));
  if (av_seek_frame(s.input.get(), s.stream, target, AVSEEK_FLAG_BACKWARD) < 0 &&
      av_seek_frame(s.input.get(), s.stream, 0, AVSEEK_FLAG_BACKWARD) < 0) {
    return false;
  }
  avcodec_flush_buffers(s.codec.get());
  swr_init(s.resampler.get());
  s.buffer.clear();
  s.positioned = false;
  s.at_end = false;
  return true;
}

// Decodes the next sound frame into the buffer. False at the end or on failure.
bool CMovieSound::DecodeMore() {
  State& s = *state_;
  for (int packets = 0; packets < kMaxPacketsPerDecode; ++packets) {
    int code = avcodec_receive_frame(s.codec.get(), s.frame.get());
    if (code >= 0) {
      AVFrame* frame = s.frame.get();
      if (!s.positioned) {
        // The first frame after a seek fixes where the buffer sits on the sound's time line.
        const std::int64_t pts = frame->best_effort_timestamp;
        const double seconds =
            pts == AV_NOPTS_VALUE ? 0.0 : pts * av_q2d(s.input->streams[s.stream]->time_base);
        s.buffer_start = std::llround((seconds - s.origin_seconds) * kRate);
        s.positioned = true;
      }
      const int room = swr_get_out_samples(s.resampler.get(), frame->nb_samples);
      const std::size_t old_size = s.buffer.size();
      s.buffer.resize(old_size + static_cast<std::size_t>(std::max(room, 0)) * kChannels);
      std::uint8_t* out[1] = {reinterpret_cast<std::uint8_t*>(s.buffer.data() + old_size)};
      const int made =
          swr_convert(s.resampler.get(), out, room,
                      const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
      s.buffer.resize(old_size + static_cast<std::size_t>(std::max(made, 0)) * kChannels);
      av_frame_unref(frame);
      return true;
    }
    if (code != AVERROR(EAGAIN)) return false;
    code = av_read_frame(s.input.get(), s.packet.get());
    if (code < 0) {
      s.at_end = true;
      avcodec_send_packet(s.codec.get(), nullptr);  // the decoder's last frames
      code = avcodec_receive_frame(s.codec.get(), s.frame.get());
      if (code < 0) return false;
      av_frame_unref(s.frame.get());  // a last frame after the end is not worth a special case
      return false;
    }
    if (s.packet->stream_index == s.stream) avcodec_send_packet(s.codec.get(), s.packet.get());
    av_packet_unref(s.packet.get());
  }
  return false;
}

bool CMovieSound::Read(std::int64_t first, int count, std::int16_t* out) {
  std::fill(out, out + static_cast<std::ptrdiff_t>(count) * kChannels, std::int16_t{0});
  if (!has_sound() || count <= 0) return true;
  State& s = *state_;
  const std::int64_t buffered_end =
      s.buffer_start + static_cast<std::int64_t>(s.buffer.size() / kChannels);
  // Reading on from where the buffer is keeps going; anything else seeks.
  if (!s.positioned || first < s.buffer_start || first > buffered_end + kRate / 10) {
    if (!SeekTo(first)) return false;
  }
  const std::int64_t end = first + count;
  while (true) {
    if (s.positioned) {
      const std::int64_t have_end =
          s.buffer_start + static_cast<std::int64_t>(s.buffer.size() / kChannels);
      if (have_end >= end || s.at_end) break;
      if (s.buffer_start > first + kMaxSeekRunIn || first - s.buffer_start > kMaxSeekRunIn) {
        return false;
      }
    }
    if (!DecodeMore()) {
      if (s.at_end) break;
      return false;
    }
  }
  // Copy what overlaps, then drop everything before the end of this read.
  const std::int64_t from = std::max(first, s.buffer_start);
  const std::int64_t have_end =
      s.buffer_start + static_cast<std::int64_t>(s.buffer.size() / kChannels);
  const std::int64_t to = std::min(end, have_end);
  if (to > from) {
    std::memcpy(out + (from - first) * kChannels,
                s.buffer.data() + (from - s.buffer_start) * kChannels,
                static_cast<std::size_t>(to - from) * kChannels * sizeof(std::int16_t));
  }
  const std::int64_t drop = std::clamp<std::int64_t>(
      end - s.buffer_start, 0, static_cast<std::int64_t>(s.buffer.size() / kChannels));
  s.buffer.erase(s.buffer.begin(), s.buffer.begin() + drop * kChannels);
  s.buffer_start += drop;
  return true;
}

}  // namespace vxr
