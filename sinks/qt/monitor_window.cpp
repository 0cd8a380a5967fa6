#include "sinks/qt/monitor_window.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPainter>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <vector>

#include "sinks/qt/screen_output.h"
#include "vboard/program/burn_in.h"

namespace vxr {
namespace {

constexpr int kLargestStartWidth = 960;  // a 1080 output starts at half size

}  // namespace

// The window's place among the program's sinks: keeps the newest frame and asks the
// user-interface thread to draw it, never more than one request on its way.
class CMonitorWindow::Sink : public IProgramSink {
 public:
  explicit Sink(CMonitorWindow* window) : window_(window) {}

  void Push(std::shared_ptr<const ProgramFrame> frame) override {
    {
      std::lock_guard lock(mutex_);
      latest_ = std::move(frame);
      ++received_;
    }
    if (!posted_.exchange(true)) {
      QMetaObject::invokeMethod(
          window_, [window = window_] { window->Refresh(); }, Qt::QueuedConnection);
    }
  }
  ProgramSinkStats Stats() const override {
    std::lock_guard lock(mutex_);
    ProgramSinkStats stats;
    stats.received = received_;
    stats.sent = received_;
    return stats;
  }
  std::string Name() const override { return "monitor window"; }

  // User-interface thread.
  std::shared_ptr<const ProgramFrame> Take() {
    posted_ = false;
    std::lock_guard lock(mutex_);
    return latest_;
  }

 private:
  CMonitorWindow* const window_;
  std::atomic<bool> posted_{false};  // a Refresh is on its way to the user-interface thread
  mutable std::mutex mutex_;         // guards latest_ and received_
  std::shared_ptr<const ProgramFrame> latest_;
  std::int64_t received_ = 0;
};

CMonitorWindow::CMonitorWindow(CSoftwareBoard& board, DecoderLimits limits, QWidget* parent)
    : QWidget(parent),
      monitor_(std::make_unique<CBoardMonitor>(board, limits)),
      program_(std::make_unique<CProgramOutput>(board, *monitor_)),
      sink_(std::make_shared<Sink>(this)) {
  setAttribute(Qt::WA_QuitOnClose, false);  // closing the monitor does not end the deck
  setAttribute(Qt::WA_OpaquePaintEvent);
  const OutputFormat& format = board.config().format;
  int width = format.width, height = format.height;
  if (width > kLargestStartWidth) {
    height = height * kLargestStartWidth / width;
    width = kLargestStartWidth;
  }
  resize(width, height);
  image_ = QImage(format.width, format.height, QImage::Format_RGB32);
  image_.fill(Qt::black);
  setWindowTitle(QString::fromStdString(monitor_->Current().title));
  // The output thread only hands frames over; the drawing happens on the user-interface thread.
  program_->AddSink(sink_);
}

CMonitorWindow::~CMonitorWindow() {
  // No hand-over may start once the widget begins to go; posted refreshes die with it.
  program_->RemoveSink(sink_.get());
  program_.reset();
  monitor_.reset();
}

void CMonitorWindow::Refresh() {
  const std::shared_ptr<const ProgramFrame> frame = sink_->Take();
  if (!frame) return;
  // A burned-in timecode changes with every tick even when the picture does not.
  if (frame->pixels && (frame->pixels != pixels_ || burn_timecode_)) {
    QImage image(frame->width, frame->height, QImage::Format_RGB32);
    const std::size_t row = static_cast<std::size_t>(frame->width) * 4;
    for (int y = 0; y < image.height(); ++y) {
      std::memcpy(image.scanLine(y),
                  frame->pixels->data() + static_cast<std::size_t>(y) * image.width(), row);
    }
    if (burn_timecode_) {
      BurnInTimecode(reinterpret_cast<std::uint32_t*>(image.bits()), image.width(), image.height(),
                     frame->timecode);
    }
    image_ = std::move(image);
    pixels_ = frame->pixels;
    update();
  }
  shown_tick_ = frame->tick;
  if (frame->wide != shown_wide_) {
    shown_wide_ = frame->wide;
    update();
  }
  setWindowTitle(QString::fromStdString(monitor_->Current().title));
}

void CMonitorWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (image_.isNull()) return;
  // Shaped as a monitor shows it: standard definition 4:3, or 16:9 for wide material.
  const QRect target = DisplayRect(size(), image_.width(), image_.height(), shown_wide_);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, image_);
}

bool BoardMonitorWanted(bool no_monitor_option, const char* variable, const QString& platform,
                        std::ostream& errors) {
  const bool display = platform != "offscreen" && platform != "minimal";
  if (no_monitor_option) return false;
  if (variable == nullptr) return display;
  if (std::strcmp(variable, "0") == 0) return false;
  if (std::strcmp(variable, "1") == 0) return true;
  errors << "vboard: VXR_BOARD_MONITOR=\"" << variable << "\" is neither 0 nor 1; the monitor is "
         << (display ? "on" : "off") << "\n";
  return display;
}

std::unique_ptr<CMonitorWindow> StartBoardMonitor(CSoftwareBoard* board, bool no_monitor_option) {
  if (board == nullptr || board->config().board_count < 1) return nullptr;
  if (!BoardMonitorWanted(no_monitor_option, std::getenv("VXR_BOARD_MONITOR"),
                          QGuiApplication::platformName(), std::cerr)) {
    return nullptr;
  }
  auto window = std::make_unique<CMonitorWindow>(*board);
  window->show();
  return window;
}

}  // namespace vxr
