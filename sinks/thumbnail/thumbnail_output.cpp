#include "sinks/thumbnail/thumbnail_output.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "vboard/media/av_handles.h"

namespace vxr {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// Heights up to this are standard definition: 4:3, or 16:9 for wide material, whatever the
// pixel count says.
constexpr int kStandardDefinitionLines = 576;
constexpr int kWindowsPerSecond = 5;
constexpr int kPeakWindowFrames = kProgramSoundRate / kWindowsPerSecond;
// Averages the pixels each thumbnail pixel covers: no aliasing from a sixth of the width.
constexpr int kScaleFlags = SWS_AREA;

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int EvenAtLeastTwo(double value) {
  const int rounded = static_cast<int>(std::lround(value / 2.0)) * 2;
  return std::max(rounded, 2);
}

}  // namespace

// Scales a program picture to the thumbnail's size and encodes it as a JPEG (FFmpeg's mjpeg).
// Made and used on the sink's thread only; remade when the size changes.
class CThumbnailOutput::Encoder {
 public:
  // Empty on failure.
  std::string Encode(const ProgramFrame& frame, int width, int height, int quality) {
    if (!Open(frame, width, height, quality)) return {};
    const std::uint8_t* source[] = {reinterpret_cast<const std::uint8_t*>(frame.pixels->data())};
    const int source_stride[] = {frame.width * 4};
    if (av_frame_make_writable(picture_.get()) < 0) return {};
    sws_scale(scaler_.get(), source, source_stride, 0, frame.height, picture_->data,
              picture_->linesize);
    picture_->pts = pts_++;
    if (avcodec_send_frame(codec_.get(), picture_.get()) < 0) return {};
    std::string jpeg;
    while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
      jpeg.append(reinterpret_cast<const char*>(packet_->data),
                  static_cast<std::size_t>(packet_->size));
      av_packet_unref(packet_.get());
    }
    return jpeg;
  }

 private:
  bool Open(const ProgramFrame& frame, int width, int height, int quality) {
    // The scaler writes full-range 4:2:0 (what JPEG holds) into the encoder's frame; asking it
    // for the JPEG pixel formats by name would make it remake itself on every picture.
    if (!scaler_ || scaled_from_width_ != frame.width || scaled_from_height_ != frame.height ||
        scaled_width_ != width || scaled_height_ != height) {
      scaler_.reset(sws_getContext(frame.width, frame.height, AV_PIX_FMT_RGB32, width, height,
                                   AV_PIX_FMT_YUV420P, kScaleFlags, nullptr, nullptr, nullptr));
      if (scaler_) {
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler_.get(), coefficients, 1, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
      }
      scaled_from_width_ = frame.width;
      scaled_from_height_ = frame.height;
      scaled_width_ = width;
      scaled_height_ = height;
    }
    if (!scaler_) return false;
    if (codec_ && codec_->width == width && codec_->height == height) return true;
    codec_.reset();
    picture_.reset();
    const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!mjpeg) return false;
    AvCodecHandle codec(avcodec_alloc_context3(mjpeg));
    AvFrameHandle picture(av_frame_alloc());
    if (!codec || !picture || (!packet_ && !(packet_.reset(av_packet_alloc()), packet_))) {
      return false;
    }
    codec->width = width;
    codec->height = height;
    codec->pix_fmt = AV_PIX_FMT_YUVJ420P;
    codec->time_base = AVRational{1, ThumbnailSettings::kDefaultPicturesPerSecond};
    codec->flags |= AV_CODEC_FLAG_QSCALE;
    codec->global_quality = FF_QP2LAMBDA * quality;
    codec->thread_count = 1;
    if (avcodec_open2(codec.get(), mjpeg, nullptr) < 0) return false;
    picture->format = AV_PIX_FMT_YUVJ420P;
    picture->width = width;
    picture->height = height;
    picture->quality = codec->global_quality;
    if (av_frame_get_buffer(picture.get(), 0) < 0) return false;
    codec_ = std::move(codec);
    picture_ = std::move(picture);
    return true;
  }

  SwsHandle scaler_;
  int scaled_from_width_ = 0;
  int scaled_from_height_ = 0;
  int scaled_width_ = 0;
  int scaled_height_ = 0;
  AvCodecHandle codec_;
  AvFrameHandle picture_;
  AvPacketHandle packet_;
  std::int64_t pts_ = 0;
};

CThumbnailOutput::CThumbnailOutput(ThumbnailSettings settings)
    : settings_(settings),
      interval_ns_(kNsPerSecond / std::max(settings.pictures_per_second, 1)),
      peaks_(kProgramSoundChannels, kPeakWindowFrames) {
  thread_ = std::thread([this] { Run(); });
}

CThumbnailOutput::~CThumbnailOutput() { Stop(); }

void CThumbnailOutput::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    pending_.reset();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CThumbnailOutput::Push(std::shared_ptr<const ProgramFrame> frame) {
  if (!frame) return;
  {
    // A fifth of a second's samples is a few thousand comparisons: measured here, so that the
    // meters see every tick's sound even when the queue of one drops the tick's picture.
    std::lock_guard<std::mutex> lock(meter_mutex_);
    peaks_.Add(frame->sound);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    ++stats_.received;
    if (pending_) ++stats_.dropped;
    pending_ = std::move(frame);
  }
  wake_.notify_all();  // the thread, and whoever waits for it to be idle
}

ProgramSinkStats CThumbnailOutput::Stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

ThumbnailPicture CThumbnailOutput::Picture() const {
  std::lock_guard<std::mutex> lock(picture_mutex_);
  return picture_;
}

ThumbnailMeters CThumbnailOutput::Meters() const {
  std::lock_guard<std::mutex> lock(meter_mutex_);
  return {peaks_.Windows(), peaks_.Latest()};
}

bool CThumbnailOutput::WaitPicture(std::int64_t sequence, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(picture_mutex_);
  return picture_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return picture_.sequence >= sequence; });
}

bool CThumbnailOutput::WaitIdle(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return stop_ || (!pending_ && !busy_); });
}

std::string CThumbnailOutput::Figures() const {
  ProgramSinkStats stats;
  std::int64_t skipped = 0;
  std::int64_t encode_ns = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats = stats_;
    skipped = skipped_;
    encode_ns = encode_ns_total_;
  }
  std::ostringstream line;
  line << "output " << kName << ": " << stats.received << " ticks, " << stats.sent << " pictures, "
       << skipped << " ticks skipped, " << stats.dropped << " dropped, " << stats.failures
       << " failures";
  if (stats.sent > 0) {
    line << ", " << (encode_ns / stats.sent) / 1000 << " us a picture";
  }
  return line.str();
}

void CThumbnailOutput::ThumbnailSize(int width, int height, bool wide, int thumbnail_width,
                                     int* out_width, int* out_height) {
  double aspect = height > 0 ? static_cast<double>(width) / height : 16.0 / 9.0;
  if (height <= kStandardDefinitionLines) aspect = wide ? 16.0 / 9.0 : 4.0 / 3.0;
  *out_width = EvenAtLeastTwo(thumbnail_width);
  *out_height = EvenAtLeastTwo(*out_width / aspect);
}

bool CThumbnailOutput::Due(const ProgramFrame& frame) {
  // A tick earlier than the last picture (a new clock) starts the count again.
  const bool in_time = !encoded_any_ || frame.steady_ns < last_encoded_ns_ ||
                       frame.steady_ns - last_encoded_ns_ >= interval_ns_;
  if (!in_time) return false;
  return !(encoded_any_ && frame.pixels == last_pixels_ && frame.timecode == last_timecode_);
}

void CThumbnailOutput::Run() {
  SetCurrentThreadName(kThreadName);
  SetCurrentThreadPriority(ThreadPriority::kCodec, "Thumbnail");
  encoder_ = std::make_unique<Encoder>();
  while (true) {
    std::shared_ptr<const ProgramFrame> frame;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      busy_ = false;
      wake_.notify_all();
      wake_.wait(lock, [&] { return stop_ || pending_; });
      if (stop_) break;
      frame = std::move(pending_);
      busy_ = true;
    }
    const bool valid = frame->pixels && frame->width > 0 && frame->height > 0 &&
                       frame->pixels->size() >= static_cast<std::size_t>(frame->width) *
                                                    static_cast<std::size_t>(frame->height);
    if (!valid || !Due(*frame)) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++skipped_;
      continue;
    }
    int width = 0;
    int height = 0;
    ThumbnailSize(frame->width, frame->height, frame->wide, settings_.width, &width, &height);
    const std::int64_t started = SteadyNs();
    std::string jpeg = encoder_->Encode(*frame, width, height, settings_.quality);
    const std::int64_t took = SteadyNs() - started;
    encoded_any_ = true;
    last_encoded_ns_ = frame->steady_ns;
    last_pixels_ = frame->pixels;
    last_timecode_ = frame->timecode;
    if (jpeg.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stats_.failures++ == 0) DebugOutput("Error Output", "thumbnail: the JPEG encoder failed");
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stats_.sent;
      encode_ns_total_ += took;
    }
    {
      std::lock_guard<std::mutex> lock(picture_mutex_);
      picture_.sequence += 1;
      picture_.jpeg = std::make_shared<const std::string>(std::move(jpeg));
      picture_.timecode = frame->timecode;
      picture_.width = width;
      picture_.height = height;
    }
    picture_changed_.notify_all();
  }
  encoder_.reset();
}

}  // namespace vxr
