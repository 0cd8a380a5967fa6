#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sinks/qt/picture_sink.h"

class QScreen;

namespace vxr {

// A screen output as the user names it: screen:N?burntc=1.
struct ScreenSettings {
  int screen = -1;  // index in Qt's screen list; -1 the last screen
  bool burn_timecode = false;
};

// The program picture full screen on one of this machine's screens: no frame, no cursor, black
// borders, the display aspect kept. It is drawn through OpenGL with a swap interval of 1 where
// OpenGL works, so that Qt paces it by the screen's refresh; else through a plain window. It
// takes and counts its pictures as every picture sink does (CPictureSink). A screen that goes
// away moves the output to the last screen left; when none is left, the output waits and goes to
// the last screen of those that come back.
//
// Make, use and destroy it on the user-interface thread.
class CScreenOutput : public CPictureSink {
 public:
  // Fails (null, reason in *error) when the screen index does not exist. clock: the board's.
  static std::shared_ptr<CScreenOutput> Create(const ScreenSettings& settings,
                                               const OutputFormat& format,
                                               std::shared_ptr<const IBoardClock> clock,
                                               std::string* error);
  ~CScreenOutput() override;

  // Any thread, never waits: about how long after its tick a picture is seen, in microseconds —
  // the recent tick-to-handover time, plus one refresh where OpenGL presents at the screen's
  // next refresh. -1 before any picture was handed over.
  std::int64_t PictureDelayUs() const { return timing()->DelayUs(); }
  // The same as a function that another thread may keep and call after this output is gone
  // (it then reports the last figures): it holds no reference to the window.
  std::function<std::int64_t()> PictureDelaySource() const;
  // User-interface thread: the window; the screen it is on (null while there is none); whether
  // it draws through OpenGL.
  QWidget* window() const { return view_.get(); }
  QScreen* screen() const { return screen_; }
  bool UsesOpenGl() const { return opengl_; }

 private:
  class PlainView;
  class GlView;
  CScreenOutput(const ScreenSettings& settings, const OutputFormat& format,
                std::shared_ptr<const IBoardClock> clock, QScreen* screen);
  void Taken(bool changed) override;
  void PlaceOn(QScreen* screen);
  void OnScreenRemoved(QScreen* screen);

  // User-interface thread.
  std::unique_ptr<QWidget> view_;
  bool opengl_ = false;
  QScreen* screen_ = nullptr;
};

}  // namespace vxr
