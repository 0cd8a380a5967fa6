#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"

namespace vxr {

// Figures one kind of output makes and another uses while the program runs.
struct SharedOutputFigures {
  // How long after its tick a picture is seen (microseconds, -1 not yet known): the first screen
  // output's, for the sound to meet; empty while no output shows the picture that way. Any
  // thread may keep and call it; it never waits.
  std::function<std::int64_t()> picture_delay_us;
};

// What every kind gets when the board's program starts.
struct ProgramOutputStart {
  CProgramOutput& program;  // sinks join it
  const CBoardMonitor& monitor;
  const OutputFormat& format;
  std::shared_ptr<const IBoardClock> clock;  // the board's
  std::ostream& errors;                      // one summary line per output started
  SharedOutputFigures& shared;
};

// One kind of place the program can go (program streams, screens, sound devices, the monitor
// window): it reads its own entries of the run's output list (--output values, the INI's
// [Outputs]), checks them, starts its outputs as sinks of the program and reports on them. The
// app lists the kinds and knows nothing of their entries. One object serves one run: it keeps
// the entries it was given and the sinks it started.
class IProgramOutputKind {
 public:
  // How an entry belongs to a kind: kNamed when it starts with the kind's word; kOtherwise when
  // the kind takes whatever no kind names (program stream addresses).
  enum class Claim { kNone, kNamed, kOtherwise };

  virtual ~IProgramOutputKind() = default;

  virtual Claim Claims(const std::string& entry) const = 0;
  // Checks and keeps one entry of this kind; false with the reason in the user's words. Pure:
  // nothing opens.
  virtual bool Add(const std::string& entry, std::string* error) = 0;
  // Once the application object exists: false with the reason when an entry cannot be had on
  // this machine (a screen that is not there).
  virtual bool Check(std::string* error) const = 0;
  // --list-outputs: what this machine offers the kind (nothing when it names no devices).
  virtual void List(std::ostream& out) const = 0;
  // Before the program starts, on the user-interface thread: says on errors what this machine
  // has for the kind, and decides what it will start. True when it will take the program, so
  // that the board's monitor decodes only when something consumes it.
  virtual bool Prepare(std::ostream& errors) = 0;
  // Starts what Prepare decided, as sinks of start.program.
  virtual void Start(const ProgramOutputStart& start) = 0;
  // Takes its sinks off program, stops and lets them go; their end-of-run figures, one line each.
  virtual std::vector<std::string> Finish(CProgramOutput& program) = 0;
};

// For a kind's Finish: takes each sink off program and lets it go, with the line figures(sink)
// gives for it once it is off.
template <class Sink, class Figures>
std::vector<std::string> FinishSinks(CProgramOutput& program,
                                     std::vector<std::shared_ptr<Sink>>* sinks, Figures figures) {
  std::vector<std::string> lines;
  for (const std::shared_ptr<Sink>& sink : *sinks) {
    program.RemoveSink(sink.get());
    lines.push_back(figures(*sink));
  }
  sinks->clear();
  return lines;
}

}  // namespace vxr
