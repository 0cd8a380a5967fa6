#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/stream/output_url.h"
#include "sinks/stream/stream_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// Program streams to network destinations: every entry no other kind names is a stream address
// (see ParseOutputUrl), and one that is not is refused with the address's own reason. Add also
// reads the entry's passphrase file and tries its encoders' settings, so that what FFmpeg would
// refuse on every connection is refused at start, with FFmpeg's reason.
class CStreamOutputKind : public IProgramOutputKind {
 public:
  Claim Claims(const std::string&) const override { return Claim::kOtherwise; }
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string*) const override { return true; }
  void List(std::ostream&) const override {}
  bool Prepare(std::ostream&) override { return !settings_.empty(); }
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

  const std::vector<StreamSettings>& settings() const { return settings_; }

 private:
  std::vector<StreamSettings> settings_;
  std::vector<std::shared_ptr<CStreamOutput>> running_;
};

}  // namespace vxr
