#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/qt/monitor_window.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// The board's output monitor window: on whenever there is a display, as BoardMonitorWanted says
// (--no-monitor is no_monitor). Its entry, "monitor" with ?burntc=0|1, only sets it up.
class CMonitorWindowKind : public IProgramOutputKind {
 public:
  explicit CMonitorWindowKind(bool no_monitor) : no_monitor_(no_monitor) {}

  Claim Claims(const std::string& entry) const override;
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string*) const override { return true; }
  void List(std::ostream&) const override {}
  bool Prepare(std::ostream& errors) override;
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

  bool burn_timecode() const { return burn_timecode_; }
  // The window while the program runs, else null.
  CMonitorWindow* window() const { return window_.get(); }

 private:
  const bool no_monitor_;
  bool burn_timecode_ = false;
  bool wanted_ = false;
  std::shared_ptr<CMonitorWindow> window_;
};

}  // namespace vxr
