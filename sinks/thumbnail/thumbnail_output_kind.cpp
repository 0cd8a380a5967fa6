#include "sinks/thumbnail/thumbnail_output_kind.h"

#include <ostream>

namespace vxr {

void CThumbnailSlot::Set(std::shared_ptr<const CThumbnailOutput> sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

std::shared_ptr<const CThumbnailOutput> CThumbnailSlot::Get() const {
  std::lock_guard lock(mutex_);
  return sink_;
}

bool CThumbnailOutputKind::Add(const std::string& entry, std::string* error) {
  if (error) *error = "the web page's thumbnail takes no output entry: " + entry;
  return false;
}

void CThumbnailOutputKind::Start(const ProgramOutputStart& start) {
  if (!slot_) return;
  auto sink = std::make_shared<CThumbnailOutput>();
  start.program.AddSink(sink);
  slot_->Set(sink);
  running_.push_back(std::move(sink));
  start.errors << "web page: program thumbnail " << ThumbnailSettings::kDefaultWidth
               << " pixels wide, " << ThumbnailSettings::kDefaultPicturesPerSecond << " a second\n";
}

std::vector<std::string> CThumbnailOutputKind::Finish(CProgramOutput& program) {
  if (slot_) slot_->Set(nullptr);
  return FinishSinks(program, &running_, [](CThumbnailOutput& sink) {
    sink.Stop();
    return sink.Figures();
  });
}

}  // namespace vxr
