#include "vboard/monitor/monitor_window.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPainter>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace vxr {
namespace {

constexpr int kLargestStartWidth = 960;  // a 1080 output starts at half size

}  // namespace

CMonitorWindow::CMonitorWindow(CSoftwareBoard& board, DecoderLimits limits, QWidget* parent)
    : QWidget(parent), monitor_(std::make_unique<CBoardMonitor>(board, limits)) {
  setAttribute(Qt::WA_QuitOnClose, false);  // closing the monitor does not end the deck
  setAttribute(Qt::WA_OpaquePaintEvent);
  const OutputFormat& format = board.config().format;
  int width = format.width, height = format.height;
  if (width > kLargestStartWidth) {
    height = height * kLargestStartWidth / width;
    width = kLargestStartWidth;
  }
  resize(width, height);
  placement_ = Placement{format.width, format.height, 0, 0};
  image_ = QImage(format.width, format.height, QImage::Format_RGB32);
  image_.fill(Qt::black);
  setWindowTitle(QString::fromStdString(monitor_->Current().title));
  // The output thread only posts; the drawing happens here on the user-interface thread.
  monitor_->SetListener([this] {
    if (!refresh_posted_.exchange(true)) {
      QMetaObject::invokeMethod(this, [this] { Refresh(); }, Qt::QueuedConnection);
    }
  });
}

CMonitorWindow::~CMonitorWindow() {
  // No post may start once the widget begins to go; posted ones die with it.
  monitor_->SetListener(nullptr);
  monitor_.reset();
}

void CMonitorWindow::Refresh() {
  refresh_posted_ = false;
  const CBoardMonitor::View view = monitor_->Current();
  if (view.picture != picture_ || !(view.placement == placement_)) {
    std::vector<std::uint32_t> pixels;
    ComposeOutput(view.picture.get(), view.placement, &pixels);
    QImage image(view.placement.output_width, view.placement.output_height,
                 QImage::Format_RGB32);
    const std::size_t row = static_cast<std::size_t>(view.placement.output_width) * 4;
    for (int y = 0; y < image.height(); ++y) {
      std::memcpy(image.scanLine(y), pixels.data() + static_cast<std::size_t>(y) * image.width(),
                  row);
    }
    image_ = std::move(image);
    picture_ = view.picture;
    placement_ = view.placement;
    update();
  }
  shown_tick_ = view.tick;
  setWindowTitle(QString::fromStdString(view.title));
}

void CMonitorWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (image_.isNull()) return;
  const QSize size = image_.size().scaled(this->size(), Qt::KeepAspectRatio);
  const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
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
