#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/thumbnail/thumbnail_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// The web page's view of the program: no entry of the output list names it; the app makes it
// enabled when the web server is on, and it then takes the program with one thumbnail sink.
class CThumbnailOutputKind : public IProgramOutputKind {
 public:
  explicit CThumbnailOutputKind(bool enabled) : enabled_(enabled) {}

  Claim Claims(const std::string&) const override { return Claim::kNone; }
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string*) const override { return true; }
  void List(std::ostream&) const override {}
  bool Prepare(std::ostream&) override { return enabled_; }
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

 private:
  const bool enabled_;
  std::vector<std::shared_ptr<CThumbnailOutput>> running_;
};

}  // namespace vxr
