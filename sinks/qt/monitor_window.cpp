#include "sinks/qt/monitor_window.h"

#include <cstring>
#include <ostream>

namespace vxr {
namespace {

constexpr int kLargestStartWidth = 960;  // a 1080 output starts at half size
constexpr const char* kName = "monitor window";

}  // namespace

CMonitorWindow::CMonitorWindow(const CBoardMonitor& monitor, const OutputFormat& format,
                               std::shared_ptr<const IBoardClock> clock, QWidget* parent)
    : QWidget(parent), CPictureSink(format, std::move(clock), false), monitor_(monitor) {
  setAttribute(Qt::WA_QuitOnClose, false);  // closing the monitor does not end the deck
  setAttribute(Qt::WA_OpaquePaintEvent);
  int width = format.width, height = format.height;
  if (width > kLargestStartWidth) {
    height = height * kLargestStartWidth / width;
    width = kLargestStartWidth;
  }
  resize(width, height);
  setWindowTitle(QString::fromStdString(monitor_.Current().title));
  SetName(kName);
  // The output thread only hands frames over; the drawing happens on the user-interface thread.
  TakeOn(this);
}

CMonitorWindow::~CMonitorWindow() = default;

void CMonitorWindow::Taken(bool changed) {
  if (changed) update();
  setWindowTitle(QString::fromStdString(monitor_.Current().title));
}

void CMonitorWindow::paintEvent(QPaintEvent*) {
  // Shaped as a monitor shows it: standard definition 4:3, or 16:9 for wide material.
  Paint(this);
  CountPresented();
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

}  // namespace vxr
