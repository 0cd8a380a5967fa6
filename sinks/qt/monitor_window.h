#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "sinks/qt/picture_sink.h"
#include "vboard/program/board_monitor.h"

namespace vxr {

// The board's output monitor window: what a monitor wired to the board's output would show, the
// tape's pictures placed as the board places them, redrawn at every output tick (the latest one
// when the user-interface thread falls behind). Its title names the tape, the output format and
// the timecode of the picture, as the board's monitor says. It is one sink of the board's
// program output, taking its pictures as every picture sink does (CPictureSink); it follows the
// board and never holds it up; closing it only hides it. Off screen it works without being
// shown. Make, use and destroy it on the user-interface thread, off the program before the
// monitor goes.
class CMonitorWindow : public QWidget, public CPictureSink {
 public:
  // clock: the board's.
  CMonitorWindow(const CBoardMonitor& monitor, const OutputFormat& format,
                 std::shared_ptr<const IBoardClock> clock, QWidget* parent = nullptr);
  ~CMonitorWindow() override;

  // The output picture as last drawn, output-sized; and the tick it belongs to.
  const QImage& OutputImage() const { return ShownImage(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Taken(bool changed) override;

  const CBoardMonitor& monitor_;
};

// Whether the program shows the monitor: not with --no-monitor; VXR_BOARD_MONITOR (variable,
// null when unset) "0" turns it off and "1" on; unset, it is on when Qt runs on a display (any
// platform but "offscreen" and "minimal"). Another value is refused on errors and the default
// kept.
bool BoardMonitorWanted(bool no_monitor_option, const char* variable, const QString& platform,
                        std::ostream& errors);

}  // namespace vxr
