#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "protocol/latency_record.h"
#include "vboard/program/program_frame.h"
#include "vboard/server/board_config.h"

class QScreen;

namespace vxr {

// A screen output as the user names it: screen:N?burntc=1.
struct ScreenSettings {
  int screen = -1;  // index in Qt's screen list; -1 the last screen
  bool burn_timecode = false;
};

// The shape a picture of width x height is meant to be seen in: 720-wide standard-definition
// pictures (576 or 486 lines) are 4:3 with non-square pixels, or 16:9 when wide (the material
// says so); anything else has square pixels.
QSize DisplayAspect(int width, int height, bool wide = false);
// Where such a picture goes on an area of the given size: as large as fits in its display
// aspect, centred; the rest stays black.
QRect DisplayRect(const QSize& area, int width, int height, bool wide = false);

// The program picture full screen on one of this machine's screens: no frame, no cursor, black
// borders, the display aspect kept. It is drawn through OpenGL with a swap interval of 1 where
// OpenGL works, so that Qt paces it by the screen's refresh; else through a plain window.
//
// Push (the board's output thread) keeps the newest picture and asks the user-interface thread
// to take it, never more than one request on its way: the output clock never waits for the
// screen. A picture the user-interface thread did not take within its own tick (replaced by a
// newer one, or taken later than one output frame after its tick) is counted. A screen that
// goes away moves the output to the last screen left.
//
// Make, use and destroy it on the user-interface thread.
class CScreenOutput : public IProgramSink {
 public:
  struct Counts {
    std::int64_t received = 0;   // ticks pushed
    std::int64_t handed = 0;     // pictures handed to the display
    std::int64_t late = 0;       // handed more than one output frame after their tick
    std::int64_t replaced = 0;   // never handed: a newer picture came first
    std::int64_t presented = 0;  // pictures drawn (OpenGL: frames swapped)
  };

  // Fails (null, reason in *error) when the screen index does not exist.
  static std::shared_ptr<CScreenOutput> Create(const ScreenSettings& settings,
                                               const OutputFormat& format, std::string* error);
  ~CScreenOutput() override;
  CScreenOutput(const CScreenOutput&) = delete;
  CScreenOutput& operator=(const CScreenOutput&) = delete;

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override;

  Counts counts() const;
  CLatencyRecord::Summary TickToHandover() const { return tick_to_handover_.Summarize(); }
  // Any thread, never waits: about how long after its tick a picture is seen, in microseconds —
  // the recent tick-to-handover time, plus one refresh where OpenGL presents at the screen's
  // next refresh. -1 before any picture was handed over.
  std::int64_t PictureDelayUs() const { return timing_->DelayUs(); }
  // The same as a function that another thread may keep and call after this output is gone
  // (it then reports the last figures): it holds no reference to the window.
  std::function<std::int64_t()> PictureDelaySource() const;
  // User-interface thread: the window; the output-sized picture last handed to it (burned-in
  // timecode included) and its tick; the screen it is on; whether it draws through OpenGL.
  QWidget* window() const { return view_.get(); }
  const QImage& ShownImage() const { return image_; }
  std::int64_t ShownTick() const { return shown_tick_; }
  bool ShownWide() const { return shown_wide_; }
  QScreen* screen() const { return screen_; }
  bool UsesOpenGl() const { return opengl_; }
  void SetBurnInTimecode(bool on) { burn_timecode_ = on; }

 private:
  class PlainView;
  class GlView;
  CScreenOutput(const ScreenSettings& settings, const OutputFormat& format, QScreen* screen);
  void Take();
  void PlaceOn(QScreen* screen);
  void OnScreenRemoved(QScreen* screen);
  void Paint(QWidget* target);

  const OutputFormat format_;
  const std::int64_t period_ns_;
  std::atomic<bool> burn_timecode_;

  mutable std::mutex mutex_;  // guards latest_, counts_ and name_
  std::shared_ptr<const ProgramFrame> latest_;
  std::string name_;
  Counts counts_;
  std::atomic<bool> posted_{false};  // a Take is on its way to the user-interface thread
  struct Timing {
    std::atomic<std::int64_t> handover_us{-1};  // recent tick to handover, smoothed
    std::atomic<std::int64_t> refresh_us{0};    // one refresh of the screen, when OpenGL paces
    std::int64_t DelayUs() const;
  };
  const std::shared_ptr<Timing> timing_ = std::make_shared<Timing>();
  CLatencyRecord tick_to_handover_;

  // User-interface thread.
  std::unique_ptr<QWidget> view_;
  bool opengl_ = false;
  QScreen* screen_ = nullptr;
  QImage image_;
  std::int64_t shown_tick_ = -1;
  bool shown_wide_ = false;
};

}  // namespace vxr
