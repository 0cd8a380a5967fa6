#include "sinks/qt/picture_sink.h"

#include <QMetaObject>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "vboard/program/burn_in.h"

namespace vxr {
namespace {

constexpr int kStandardWidth = 720;  // the width of 576- and 486-line pictures
constexpr int kStandardLinesMost = 576;
constexpr int kFourThreeWidth = 4;
constexpr int kFourThreeHeight = 3;
constexpr int kWideWidth = 16;
constexpr int kWideHeight = 9;
constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr std::int64_t kNanosecondsPerMicrosecond = 1'000;
// The recent handover time follows each new one by an eighth: a late picture moves it little.
constexpr std::int64_t kHandoverSmoothing = 8;
constexpr std::uint32_t kBlack = 0xff000000u;

// A QImage over the frame's pixels, keeping them alive without a copy.
QImage WrapPixels(const ProgramFrame& frame) {
  auto* keep = new std::shared_ptr<const std::vector<std::uint32_t>>(frame.pixels);
  return QImage(
      reinterpret_cast<const uchar*>((*keep)->data()), frame.width, frame.height,
      frame.width * static_cast<int>(sizeof(std::uint32_t)), QImage::Format_RGB32,
      [](void* info) {
        delete static_cast<std::shared_ptr<const std::vector<std::uint32_t>>*>(info);
      },
      keep);
}

// A copy of the frame's picture with its timecode burned in.
QImage BurnedImage(const ProgramFrame& frame) {
  QImage image(frame.width, frame.height, QImage::Format_RGB32);
  const std::size_t row = static_cast<std::size_t>(frame.width) * sizeof(std::uint32_t);
  for (int y = 0; y < frame.height; ++y) {
    std::memcpy(image.scanLine(y), frame.pixels->data() + static_cast<std::size_t>(y) * frame.width,
                row);
  }
  BurnInTimecode(reinterpret_cast<std::uint32_t*>(image.bits()), frame.width, frame.height,
                 frame.timecode);
  return image;
}

}  // namespace

QSize DisplayAspect(int width, int height, bool wide) {
  if (width == kStandardWidth && height > 0 && height <= kStandardLinesMost) {
    return wide ? QSize(kWideWidth, kWideHeight) : QSize(kFourThreeWidth, kFourThreeHeight);
  }
  return {width, height};
}

QRect DisplayRect(const QSize& area, int width, int height, bool wide) {
  if (width <= 0 || height <= 0 || area.isEmpty()) return {};
  const QSize size = DisplayAspect(width, height, wide).scaled(area, Qt::KeepAspectRatio);
  return {QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2), size};
}

bool ParseBurnInQuery(const std::string& query, const std::string& entry, bool* burn,
                      std::string* error) {
  if (query.empty()) return true;
  if (query == "burntc=1" || query == "burntc=0") {
    *burn = query == "burntc=1";
    return true;
  }
  *error = "\"" + entry + "\": only ?burntc=0 or ?burntc=1 may follow";
  return false;
}

CPictureSink::CPictureSink(const OutputFormat& format, std::shared_ptr<const IBoardClock> clock,
                           bool burn_timecode)
    : clock_(std::move(clock)),
      period_ns_(kNanosecondsPerSecond * format.rate_den / std::max(format.rate_num, 1)),
      burn_timecode_(burn_timecode),
      image_(format.width, format.height, QImage::Format_RGB32) {
  image_.fill(kBlack);
}

CPictureSink::~CPictureSink() = default;

void CPictureSink::Push(std::shared_ptr<const ProgramFrame> frame) {
  {
    std::lock_guard lock(mutex_);
    if (latest_) ++counts_.replaced;
    latest_ = std::move(frame);
    ++counts_.received;
  }
  if (!posted_.exchange(true)) {
    QMetaObject::invokeMethod(
        receiver_, [this] { Take(); }, Qt::QueuedConnection);
  }
}

void CPictureSink::Take() {
  posted_ = false;
  std::shared_ptr<const ProgramFrame> frame;
  {
    std::lock_guard lock(mutex_);
    frame.swap(latest_);
  }
  if (!frame || !frame->pixels) return;
  const std::int64_t delay = clock_->NowNs() - frame->steady_ns;
  tick_to_handover_.Add(std::chrono::nanoseconds(delay));
  const std::int64_t delay_us = delay / kNanosecondsPerMicrosecond;
  const std::int64_t recent = timing_->handover_us.load();
  timing_->handover_us = recent < 0 ? delay_us : recent + (delay_us - recent) / kHandoverSmoothing;

  // A burned-in timecode changes with every tick even when the picture does not.
  const bool burn = burn_timecode_.load();
  const bool changed =
      frame->pixels != pixels_ || burn || image_burned_ || frame->wide != shown_wide_;
  if (changed) {
    image_ = burn ? BurnedImage(*frame) : WrapPixels(*frame);
    pixels_ = frame->pixels;
    image_burned_ = burn;
  }
  shown_tick_ = frame->tick;
  shown_wide_ = frame->wide;
  {
    std::lock_guard lock(mutex_);
    ++counts_.handed;
    if (delay > period_ns_) ++counts_.late;
  }
  Taken(changed);
}

void CPictureSink::Paint(QWidget* target) const {
  QPainter painter(target);
  painter.fillRect(target->rect(), Qt::black);
  const QRect place = DisplayRect(target->size(), image_.width(), image_.height(), shown_wide_);
  if (place.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(place, image_);
}

std::int64_t CPictureSink::Timing::DelayUs() const {
  const std::int64_t handover = handover_us.load();
  return handover < 0 ? -1 : handover + refresh_us.load();
}

void CPictureSink::SetName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

void CPictureSink::CountPresented() {
  std::lock_guard lock(mutex_);
  ++counts_.presented;
}

CPictureSink::Counts CPictureSink::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

ProgramSinkStats CPictureSink::Stats() const {
  const Counts counts = this->counts();
  ProgramSinkStats stats;
  stats.received = counts.received;
  stats.sent = counts.handed;
  stats.dropped = counts.replaced;
  return stats;
}

std::string CPictureSink::Name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

}  // namespace vxr
