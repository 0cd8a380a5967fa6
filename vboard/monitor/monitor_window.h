#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "vboard/board_monitor.h"

namespace vxr {

// The board's output monitor window: what a monitor wired to the board's output would show, the
// tape's pictures placed as the board places them, redrawn at every output tick (the latest one
// when the user-interface thread falls behind). Its title names the tape, the output format and
// the timecode of the picture. It follows the board and never holds it up; closing it only hides
// it. Off screen it works without being shown. It must be destroyed before the board.
class CMonitorWindow : public QWidget {
 public:
  explicit CMonitorWindow(CSoftwareBoard& board, DecoderLimits limits = {},
                          QWidget* parent = nullptr);
  ~CMonitorWindow() override;

  // The output picture as last drawn, output-sized; and the tick it belongs to.
  const QImage& OutputImage() const { return image_; }
  std::int64_t ShownTick() const { return shown_tick_; }
  CBoardMonitor& monitor() { return *monitor_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // User-interface thread: takes the monitor's latest view.
  void Refresh();

  std::unique_ptr<CBoardMonitor> monitor_;
  std::atomic<bool> refresh_posted_{false};  // a Refresh is on its way to the UI thread
  QImage image_;
  std::shared_ptr<const Picture> picture_;  // what image_ was composed from
  Placement placement_;
  std::int64_t shown_tick_ = -1;
};

// Whether the program shows the monitor: not with --no-monitor; VXR_BOARD_MONITOR (variable,
// null when unset) "0" turns it off and "1" on; unset, it is on when Qt runs on a display (any
// platform but "offscreen" and "minimal"). Another value is refused on errors and the default
// kept.
bool BoardMonitorWanted(bool no_monitor_option, const char* variable, const QString& platform,
                        std::ostream& errors);

// The program's switch: after the QApplication and the board exist, a shown monitor window on
// the board's last board (the deck's), or null when none is wanted (errors on standard error).
// Destroy it before the board.
std::unique_ptr<CMonitorWindow> StartBoardMonitor(CSoftwareBoard* board, bool no_monitor_option);

}  // namespace vxr
