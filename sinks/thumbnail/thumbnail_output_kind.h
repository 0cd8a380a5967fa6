#pragma once

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sinks/thumbnail/thumbnail_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// Where the web server finds the thumbnail sink: the kind puts its sink here while it runs.
class CThumbnailSlot {
 public:
  void Set(std::shared_ptr<const CThumbnailOutput> sink);
  std::shared_ptr<const CThumbnailOutput> Get() const;

 private:
  mutable std::mutex mutex_;  // guards sink_ (set on the user-interface thread, read by the web's)
  std::shared_ptr<const CThumbnailOutput> sink_;
};

// The web page's view of the program: no entry of the output list names it; the app gives it a
// slot when the web server is on, and it then takes the program with one thumbnail sink, which
// it puts in that slot.
class CThumbnailOutputKind : public IProgramOutputKind {
 public:
  explicit CThumbnailOutputKind(std::shared_ptr<CThumbnailSlot> slot) : slot_(std::move(slot)) {}

  Claim Claims(const std::string&) const override { return Claim::kNone; }
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string*) const override { return true; }
  void List(std::ostream&) const override {}
  bool Prepare(std::ostream&) override { return slot_ != nullptr; }
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

 private:
  const std::shared_ptr<CThumbnailSlot> slot_;  // null: no web page, no thumbnail
  std::vector<std::shared_ptr<CThumbnailOutput>> running_;
};

}  // namespace vxr
