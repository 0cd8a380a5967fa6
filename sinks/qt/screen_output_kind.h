#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/qt/screen_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// Full-screen outputs on this machine's screens: "screen" (the last screen) or "screen:N", each
// may end in ?burntc=0|1. They need a display and a screen of that number. The first screen
// output started hands its picture delay to the others (the sound meets it).
class CScreenOutputKind : public IProgramOutputKind {
 public:
  Claim Claims(const std::string& entry) const override;
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string* error) const override;
  void List(std::ostream& out) const override;
  bool Prepare(std::ostream& errors) override;
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

  const std::vector<ScreenSettings>& settings() const { return settings_; }

 private:
  std::vector<ScreenSettings> settings_;
  std::vector<std::shared_ptr<CScreenOutput>> running_;
};

}  // namespace vxr
