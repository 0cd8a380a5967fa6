#include "vboard/media/movie_decoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include "player/clv_results.h"
#include "vboard/media/movie_input.h"
#include "vboard/media/picture_converter.h"

namespace vxr {

CMovieDecoder::CMovieDecoder(const std::atomic<bool>* stop, int threads)
    : stop_(stop), threads_(std::max(threads, 1)), converter_(new CPictureConverter()) {}

CMovieDecoder::~CMovieDecoder() { Close(); }

void CMovieDecoder::Close() {
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  av_frame_free(&part_);
  ForgetGap();
  av_frame_free(&before_);
  av_frame_free(&after_);
  av_packet_free(&skipped_);
  avcodec_free_context(&codec_);
  avformat_close_input(&input_);
  stream_ = -1;
  last_number_ = -1;
  at_end_ = false;
}

HRESULT CMovieDecoder::Open(const std::string& path) {
  Close();
  path_ = path;
  // Only regular files: a pipe or a device could hold the worker forever. A movie cut short
  // is not refused: its pictures that are there can still be shown.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno == EACCES ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
                           : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  if (!S_ISREG(info.st_mode)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

  if (OpenMovieInput(path, stop_, &input_) < 0) return CLV_E_NOT_A_MOVIE;
  if (avformat_find_stream_info(input_, nullptr) < 0) return Close(), CLV_E_DAMAGED_MOVIE;

  stream_ = FindVideoStream(input_);
  if (stream_ < 0) return Close(), CLV_E_NO_VIDEO;
  ReadOnlyStream(input_, stream_);
  const AVStream* stream = input_->streams[stream_];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  start_ = FirstPictureTime(input_, stream_);
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return Close(), CLV_E_DAMAGED_MOVIE;
  av_reduce(&rate_num_, &rate_den_, rate.num, rate.den, 1 << 20);
  tb_num_ = stream->time_base.num;
  tb_den_ = stream->time_base.den;
  if (tb_num_ <= 0 || tb_den_ <= 0) return Close(), CLV_E_DAMAGED_MOVIE;
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(stream->codecpar->codec_id);
  intra_only_ = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;

  codec_ = avcodec_alloc_context3(decoder);
  frame_ = av_frame_alloc();
  part_ = av_frame_alloc();
  before_ = av_frame_alloc();
  after_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  skipped_ = av_packet_alloc();
  if (codec_ == nullptr || frame_ == nullptr || part_ == nullptr || before_ == nullptr ||
      after_ == nullptr || packet_ == nullptr || skipped_ == nullptr) {
    return Close(), E_OUTOFMEMORY;
  }
  // Frame threads decode the pictures of a group side by side (their pictures come out a
  // packet or so later, which reading on absorbs); an intra-frame codec's single picture is
  // split into slices instead.
  codec_->thread_count = threads_;
  codec_->thread_type = intra_only_ ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_parameters_to_context(codec_, stream->codecpar) < 0 ||
      avcodec_open2(codec_, decoder, nullptr) < 0) {
    return Close(), CLV_E_NO_VIDEO;
  }
  // Back to the start (when the library cannot, reading on finds a later first picture).
  av_seek_frame(input_, stream_, start_, AVSEEK_FLAG_BACKWARD);
  if (!FindFirstPicture()) return Close(), CLV_E_DAMAGED_MOVIE;
  return S_OK;
}

std::int64_t CMovieDecoder::NumberOf(std::int64_t timestamp) const {
  // (timestamp - start) x time base x rate, rounded to the nearest frame.
  return av_rescale_q_rnd(timestamp - start_, AVRational{tb_num_, tb_den_},
                          AVRational{rate_den_, rate_num_},
                          static_cast<AVRounding>(AV_ROUND_NEAR_INF));
}

void CMovieDecoder::ForgetGap() {
  if (before_ != nullptr) av_frame_unref(before_);
  if (after_ != nullptr) av_frame_unref(after_);
  if (skipped_ != nullptr) av_packet_unref(skipped_);
  before_number_ = before_until_ = -1;
  fed_.clear();
}

bool CMovieDecoder::GapBefore(std::int64_t number) const {
  // Only where the packets carry showing times (fed_ knows the new picture's packet) can a gap
  // be told from a picture that failed.
  if (before_number_ < 0 || number <= before_number_ + 1 || fed_.count(number) == 0) return false;
  const auto between = fed_.upper_bound(before_number_);
  return between == fed_.end() || *between >= number;
}

void CMovieDecoder::HandOut(const AVFrame* frame, std::shared_ptr<const Picture>* picture) {
  if (raw_out_ != nullptr) {
    *raw_out_ = CRawPicture::Keep(frame, WantedPart(frame));
  } else {
    *picture = Convert(frame);
  }
}

std::int64_t CMovieDecoder::TimestampOf(std::uint32_t frame) const {
  return start_ +
         av_rescale_q(frame, AVRational{rate_den_, rate_num_}, AVRational{tb_num_, tb_den_});
}

bool CMovieDecoder::Seek(std::uint32_t frame) {
  ++seeks_;
  avcodec_flush_buffers(codec_);
  ForgetGap();
  last_number_ = -1;
  last_key_ = -1;
  at_end_ = false;
  return av_seek_frame(input_, stream_, TimestampOf(frame), AVSEEK_FLAG_BACKWARD) >= 0 ||
         av_seek_frame(input_, stream_, start_, AVSEEK_FLAG_BACKWARD) >= 0;
}

bool CMovieDecoder::FindFirstPicture() {
  for (int packets = 0; packets < kMaxPacketsPerPicture && !Stopped();) {
    const bool end = av_read_frame(input_, packet_) < 0;
    if (!end && packet_->stream_index != stream_) {
      av_packet_unref(packet_);
      continue;
    }
    ++packets;
    avcodec_send_packet(codec_, end ? nullptr : packet_);
    av_packet_unref(packet_);
    if (avcodec_receive_frame(codec_, frame_) >= 0) {
      // Reading on from here gives the pictures after it. Pictures with showing times are
      // numbered from the stream's declared start, as the probe counts, so that leading
      // pictures that cannot be decoded keep their numbers. Without showing times (AVI keeps
      // only decoding times, which B pictures delay) the pictures count from the first one.
      const std::int64_t when = frame_->best_effort_timestamp;
      if (frame_->pts == AV_NOPTS_VALUE && when != AV_NOPTS_VALUE) start_ = when;
      last_number_ = when != AV_NOPTS_VALUE ? std::max<std::int64_t>(NumberOf(when), 0) : 0;
      av_frame_unref(frame_);
      return true;
    }
    if (end) return false;
  }
  return false;
}

HRESULT CMovieDecoder::Decode(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                              const Bystanders* bystanders, const CropRule* crop) {
  if (picture == nullptr) return E_POINTER;
  return DecodeAny(frame, picture, nullptr, bystanders, crop);
}

HRESULT CMovieDecoder::DecodeRaw(std::uint32_t frame, std::shared_ptr<const CRawPicture>* raw,
                                 const Bystanders* bystanders, const CropRule* crop) {
  if (raw == nullptr) return E_POINTER;
  raw->reset();
  std::shared_ptr<const Picture> unused;
  return DecodeAny(frame, &unused, raw, bystanders, crop);
}

HRESULT CMovieDecoder::DecodeKeyBefore(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                                       std::uint32_t* key, const CropRule* crop) {
  if (picture == nullptr || key == nullptr) return E_POINTER;
  picture->reset();
  if (codec_ == nullptr) return OLE_E_NOTRUNNING;
  crop_ = crop != nullptr && *crop ? crop : nullptr;
  first_only_ = true;
  struct Forget {
    CMovieDecoder* decoder;
    ~Forget() {
      decoder->crop_ = nullptr;
      decoder->first_only_ = false;
    }
  } forget{this};
  // A seek may land after the picture (see Decode): then further back.
  constexpr std::uint32_t kSeekBack[] = {0, 24, 128};
  for (const std::uint32_t back : kSeekBack) {
    if (Stopped() || !Seek(frame > back ? frame - back : 0)) break;
    const Outcome outcome = ReadUntil(frame, picture, nullptr);
    if (outcome == Outcome::kFound && last_number_ >= 0 && last_number_ <= frame) {
      *key = static_cast<std::uint32_t>(last_number_);
      return *picture ? S_OK : E_OUTOFMEMORY;
    }
    picture->reset();
    if (outcome == Outcome::kStopped || frame <= back) break;
  }
  last_number_ = -1;
  return E_FAIL;
}

HRESULT CMovieDecoder::DecodeAny(std::uint32_t frame, std::shared_ptr<const Picture>* picture,
                                 std::shared_ptr<const CRawPicture>* raw,
                                 const Bystanders* bystanders, const CropRule* crop) {
  picture->reset();
  if (codec_ == nullptr) return OLE_E_NOTRUNNING;
  crop_ = crop != nullptr && *crop ? crop : nullptr;
  raw_out_ = raw;
  given_up_ = false;
  struct Forget {
    CMovieDecoder* decoder;
    ~Forget() {
      decoder->crop_ = nullptr;
      decoder->raw_out_ = nullptr;
    }
  } forget{this};
  // Variable frame rate: a frame in the gap after the latest picture, or the picture after the
  // gap, decoded already (the decoder stands after it).
  const auto made = [&] {
    const bool any = raw != nullptr ? static_cast<bool>(*raw) : static_cast<bool>(*picture);
    return any ? S_OK : E_OUTOFMEMORY;
  };
  if (before_number_ >= 0 && before_number_ < frame && frame < before_until_) {
    HandOut(before_, picture);
    return made();
  }
  if (before_until_ >= 0 && before_until_ == frame && after_->buf[0] != nullptr) {
    HandOut(after_, picture);
    av_frame_unref(before_);
    av_frame_move_ref(before_, after_);
    before_number_ = frame;
    before_until_ = -1;
    fed_.erase(fed_.begin(), fed_.upper_bound(before_number_));
    return made();
  }
  const std::int64_t ahead = static_cast<std::int64_t>(frame) - last_number_;
  // Reading on up to a group of pictures costs no more than seeking to the key frame before the
  // picture and decoding from there.
  const std::int64_t read_on_limit = std::max<std::int64_t>(kReadOnLimit, longest_gop_);
  const bool read_on = last_number_ >= 0 && !at_end_ && ahead > 0 && ahead <= read_on_limit;
  // A seek may land on a key frame just after the picture (its index entry carries the decoding
  // time, which runs ahead of the showing time when pictures are reordered): then seek again,
  // further back.
  constexpr std::uint32_t kSeekBack[] = {0, 3, 24, 128};
  for (int attempt = read_on ? -1 : 0; attempt < 4 && !Stopped(); ++attempt) {
    if (attempt >= 0) {
      const std::uint32_t back = kSeekBack[attempt];
      if (!Seek(frame > back ? frame - back : 0)) break;
    }
    const Outcome outcome = ReadUntil(frame, picture, bystanders);
    if (outcome == Outcome::kFound) {
      const bool made = raw != nullptr ? static_cast<bool>(*raw) : static_cast<bool>(*picture);
      return made ? S_OK : E_OUTOFMEMORY;
    }
    if (outcome == Outcome::kStopped) break;
    // Pictures of an intra-frame codec do not depend on earlier data: starting further back
    // helps only when the seek landed beyond the picture. Other codecs may have had pictures
    // without timestamps right after the key frame, which a longer run numbers.
    if (intra_only_ && outcome == Outcome::kFailed) break;
    if (attempt >= 0 && frame <= kSeekBack[attempt]) break;
  }
  // Damaged data or a picture that is not there: the next request starts afresh.
  if (!given_up_) last_number_ = -1;
  return E_FAIL;
}

CMovieDecoder::Outcome CMovieDecoder::ReadUntil(std::uint32_t frame,
                                                std::shared_ptr<const Picture>* picture,
                                                const Bystanders* bystanders) {
  // Only the picture stream's packets count; the stop is looked at between packets.
  for (int packets = 0; packets < kMaxPacketsPerPicture;) {
    if (packet_hook_) packet_hook_();
    if (Stopped()) return Outcome::kStopped;
    if (av_read_frame(input_, packet_) < 0) {
      if (Stopped()) return Outcome::kStopped;  // the read gave up for the stop
      // The end of the data: what the decoder still holds comes out now.
      at_end_ = true;
      return Feed(nullptr, frame, picture, bystanders).value_or(Outcome::kFailed);
    }
    if (packet_->stream_index != stream_) {
      av_packet_unref(packet_);
      continue;
    }
    ++packets;
    if (intra_only_) {
      // Every picture stands alone: packets before the one wanted need no decoding. The latest
      // of them is kept: with a variable frame rate its picture may show at the frame wanted.
      const std::int64_t when = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
      if (when != AV_NOPTS_VALUE && NumberOf(when) < frame) {
        av_packet_unref(skipped_);
        av_packet_move_ref(skipped_, packet_);
        continue;
      }
      if (when != AV_NOPTS_VALUE && NumberOf(when) > frame && skipped_->data != nullptr) {
        const std::optional<Outcome> outcome = Feed(skipped_, frame, picture, bystanders);
        av_packet_unref(skipped_);
        if (outcome) {
          av_packet_unref(packet_);
          return *outcome;
        }
      }
      av_packet_unref(skipped_);
    }
    const std::optional<Outcome> outcome = Feed(packet_, frame, picture, bystanders);
    av_packet_unref(packet_);
    if (outcome) return *outcome;
  }
  return Outcome::kFailed;
}

std::optional<CMovieDecoder::Outcome> CMovieDecoder::Feed(AVPacket* packet, std::uint32_t frame,
                                                          std::shared_ptr<const Picture>* picture,
                                                          const Bystanders* bystanders) {
  if (packet != nullptr && packet->pts != AV_NOPTS_VALUE) {
    constexpr std::size_t kMaxFed = 4096;  // packets between two pictures out, at the most
    if (fed_.size() >= kMaxFed) fed_.clear();
    fed_.insert(NumberOf(packet->pts));
  }
  if (avcodec_send_packet(codec_, packet) < 0 && packet == nullptr) return std::nullopt;
  while (avcodec_receive_frame(codec_, frame_) >= 0) {
    const std::int64_t when = frame_->best_effort_timestamp;
    const std::int64_t number = when != AV_NOPTS_VALUE ? NumberOf(when)
                                : last_number_ >= 0    ? last_number_ + 1
                                                       : -1;
    if (number >= 0) {
      last_number_ = number;
      if (frame_->key_frame) {
        if (last_key_ >= 0 && number > last_key_) {
          longest_gop_ = std::max(longest_gop_, number - last_key_);
        }
        last_key_ = number;
      }
    }
    // Frames in a gap of the stream just before this picture show the picture before it.
    const bool gap =
        number >= 0 && frame_->pts != AV_NOPTS_VALUE && !first_only_ && GapBefore(number);
    if (gap && before_number_ < frame && frame < number) {
      HandOut(before_, picture);
      before_until_ = number;
      av_frame_unref(after_);
      av_frame_move_ref(after_, frame_);
      return Outcome::kFound;
    }
    if (number == frame || (first_only_ && number >= 0 && number <= frame)) {
      HandOut(frame_, picture);
      Remember(number);
      return Outcome::kFound;
    }
    if (number > frame) {
      av_frame_unref(frame_);
      return Outcome::kPassed;
    }
    // The frames of the gap before this picture are offered like its own.
    for (std::int64_t n = gap ? before_number_ + 1 : number; gap && n < number; ++n) {
      if (!Offer(n, before_, bystanders)) {
        av_frame_unref(frame_);
        return Outcome::kStopped;
      }
    }
    if (number >= 0 && !Offer(number, frame_, bystanders)) {
      av_frame_unref(frame_);
      return Outcome::kStopped;
    }
    Remember(number);
  }
  return std::nullopt;
}

bool CMovieDecoder::Offer(std::int64_t number, const AVFrame* frame, const Bystanders* bystanders) {
  const Want want = bystanders && bystanders->wants
                        ? bystanders->wants(static_cast<std::uint32_t>(number))
                        : Want::kNo;
  if (want == Want::kGiveUp) {
    // The decoder stands where it is: a later picture can still be reached by reading on.
    given_up_ = true;
    return false;
  }
  if (want == Want::kPicture && bystanders->take) {
    if (auto other = Convert(frame)) {
      bystanders->take(static_cast<std::uint32_t>(number), std::move(other));
    }
  } else if (want == Want::kRaw && bystanders->keep) {
    if (auto other = CRawPicture::Keep(frame, WantedPart(frame))) {
      bystanders->keep(static_cast<std::uint32_t>(number), std::move(other));
    }
  }
  return true;
}

void CMovieDecoder::Remember(std::int64_t number) {
  // frame_ becomes before_: the packets before it are no longer needed to tell a gap.
  av_frame_unref(before_);
  before_number_ = -1;
  before_until_ = -1;
  if (number >= 0 && frame_->pts != AV_NOPTS_VALUE) {
    av_frame_move_ref(before_, frame_);
    before_number_ = number;
    fed_.erase(fed_.begin(), fed_.upper_bound(number));
  }
  av_frame_unref(frame_);
}

Crop CMovieDecoder::WantedPart(const AVFrame* whole) const {
  const Crop all{0, 0, whole->width, whole->height};
  if (crop_ == nullptr) return all;
  const Crop wanted = (*crop_)(whole->width, whole->height);
  if (wanted.width > 0 && wanted.height > 0 && wanted.x >= 0 && wanted.y >= 0 &&
      wanted.x + wanted.width <= whole->width && wanted.y + wanted.height <= whole->height) {
    return wanted;
  }
  return all;
}

std::shared_ptr<const Picture> CMovieDecoder::Convert(const AVFrame* whole) {
  // Only the wanted part is converted and kept: the rest never reaches the output.
  const Crop wanted = WantedPart(whole);
  Crop part{0, 0, whole->width, whole->height};
  const AVFrame* frame = whole;
  if (!(wanted == part)) {
    av_frame_unref(part_);
    if (av_frame_ref(part_, whole) < 0) return nullptr;
    part_->crop_left = static_cast<std::size_t>(wanted.x);
    part_->crop_top = static_cast<std::size_t>(wanted.y);
    part_->crop_right = static_cast<std::size_t>(whole->width - wanted.x - wanted.width);
    part_->crop_bottom = static_cast<std::size_t>(whole->height - wanted.y - wanted.height);
    if (av_frame_apply_cropping(part_, AV_FRAME_CROP_UNALIGNED) >= 0 &&
        part_->width == wanted.width && part_->height == wanted.height) {
      part = wanted;
      frame = part_;
    } else {
      av_frame_unref(part_);  // a layout the library cannot cut: the whole picture is kept
    }
  }
  struct Release {
    AVFrame* frame;
    ~Release() { av_frame_unref(frame); }
  } release{part_};
  return converter_->Convert(frame, part.x, part.y, whole->width, whole->height);
}

}  // namespace vxr
