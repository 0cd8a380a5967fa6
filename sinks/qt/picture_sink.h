#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/latency_record.h"
#include "vboard/program/program_frame.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"

class QObject;
class QWidget;

namespace vxr {

// The shape a picture of width x height is meant to be seen in: 720-wide standard-definition
// pictures (576 or 486 lines) are 4:3 with non-square pixels, or 16:9 when wide (the material
// says so); anything else has square pixels.
QSize DisplayAspect(int width, int height, bool wide = false);
// Where such a picture goes on an area of the given size: as large as fits in its display
// aspect, centred; the rest stays black.
QRect DisplayRect(const QSize& area, int width, int height, bool wide = false);

// Reads the "burntc=0|1" query that may follow a picture output's entry (all there may be);
// entry names it in the reason.
bool ParseBurnInQuery(const std::string& query, const std::string& entry, bool* burn,
                      std::string* error);

// The program's picture on a widget of this machine, what the monitor window and the full-screen
// output share. Push (the board's output thread) keeps the newest frame and asks the
// user-interface thread to take it, never more than one request on its way, so the output clock
// never waits for the display. Taking it makes the output-sized image (the timecode burned in on
// request) and measures how long after its tick the picture was handed over, on the board's
// clock: a picture not taken within its own tick (replaced by a newer one, or taken more than
// one output frame after its tick) is counted. Paint draws the image in its display aspect on
// black.
class CPictureSink : public IProgramSink {
 public:
  struct Counts {
    std::int64_t received = 0;   // ticks pushed
    std::int64_t handed = 0;     // pictures handed to the display
    std::int64_t late = 0;       // handed more than one output frame after their tick
    std::int64_t replaced = 0;   // never handed: a newer picture came first
    std::int64_t presented = 0;  // pictures drawn (OpenGL: frames swapped)
  };

  ~CPictureSink() override;
  CPictureSink(const CPictureSink&) = delete;
  CPictureSink& operator=(const CPictureSink&) = delete;

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override;

  Counts counts() const;
  CLatencyRecord::Summary TickToHandover() const { return tick_to_handover_.Summarize(); }
  // The picture's timecode burned into it, as a deck's character generator superimposes it.
  void SetBurnInTimecode(bool on) { burn_timecode_ = on; }
  // User-interface thread: the output-sized picture last taken (burned-in timecode included),
  // its tick, and whether it is 16:9 material.
  const QImage& ShownImage() const { return image_; }
  std::int64_t ShownTick() const { return shown_tick_; }
  bool ShownWide() const { return shown_wide_; }

 protected:
  // Recent tick-to-handover time, and one refresh of a screen that presents at its refresh; any
  // thread may read them, after the sink is gone too.
  struct Timing {
    std::atomic<std::int64_t> handover_us{-1};  // smoothed; -1 before any picture
    std::atomic<std::int64_t> refresh_us{0};
    // Tick to seen in microseconds: the handover plus one refresh; -1 before any picture.
    std::int64_t DelayUs() const;
  };

  CPictureSink(const OutputFormat& format, std::shared_ptr<const IBoardClock> clock,
               bool burn_timecode);
  // Before the first Push: the object on the user-interface thread that pictures are taken on
  // (what shows them); posted takes die with it.
  void TakeOn(QObject* receiver) { receiver_ = receiver; }
  void SetName(std::string name);
  void CountPresented();
  const std::shared_ptr<Timing>& timing() const { return timing_; }
  // User-interface thread: the image, black around it, on target.
  void Paint(QWidget* target) const;
  // User-interface thread, after each picture taken; changed: its image or shape is new.
  virtual void Taken(bool changed) = 0;

 private:
  void Take();

  const std::shared_ptr<const IBoardClock> clock_;
  const std::int64_t period_ns_;
  std::atomic<bool> burn_timecode_;
  QObject* receiver_ = nullptr;

  mutable std::mutex mutex_;  // guards latest_, counts_ and name_
  std::shared_ptr<const ProgramFrame> latest_;
  Counts counts_;
  std::string name_;
  std::atomic<bool> posted_{false};  // a Take is on its way to the user-interface thread
  const std::shared_ptr<Timing> timing_ = std::make_shared<Timing>();
  CLatencyRecord tick_to_handover_;

  // User-interface thread.
  QImage image_;
  std::shared_ptr<const std::vector<std::uint32_t>> pixels_;  // what image_ was made from
  bool image_burned_ = false;                                 // image_ has a timecode burned in
  std::int64_t shown_tick_ = -1;
  bool shown_wide_ = false;
};

}  // namespace vxr
