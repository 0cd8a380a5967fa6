#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"

namespace vxr {

// The board's output monitor window: what a monitor wired to the board's output would show, the
// tape's pictures placed as the board places them, redrawn at every output tick (the latest one
// when the user-interface thread falls behind). Its title names the tape, the output format and
// the timecode of the picture. It is one sink of the board's program output; it follows the board
// and never holds it up; closing it only hides it. Off screen it works without being shown. It
// must be destroyed before the board.
class CMonitorWindow : public QWidget {
 public:
  // A window with the board's program output of its own (its monitor watching the deck's board).
  explicit CMonitorWindow(CSoftwareBoard& board, DecoderLimits limits = {},
                          QWidget* parent = nullptr);
  ~CMonitorWindow() override;

  // The output picture as last drawn, output-sized; and the tick it belongs to.
  const QImage& OutputImage() const { return image_; }
  std::int64_t ShownTick() const { return shown_tick_; }
  CBoardMonitor& monitor() { return *monitor_; }
  // The program output the window shows; other sinks (streams) may join it.
  CProgramOutput& program() { return *program_; }
  // The picture's timecode burned into the window's picture, as a deck's character generator
  // superimposes it.
  void SetBurnInTimecode(bool on) { burn_timecode_ = on; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  class Sink;
  // User-interface thread: takes the latest program frame.
  void Refresh();

  std::unique_ptr<CBoardMonitor> monitor_;
  std::unique_ptr<CProgramOutput> program_;
  std::shared_ptr<Sink> sink_;
  QImage image_;
  std::shared_ptr<const std::vector<std::uint32_t>> pixels_;  // what image_ was made from
  std::int64_t shown_tick_ = -1;
  bool shown_wide_ = false;  // the picture is 16:9 material
  bool burn_timecode_ = false;
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
