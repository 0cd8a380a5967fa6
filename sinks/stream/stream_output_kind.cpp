#include "sinks/stream/stream_output_kind.h"

#include <cstdlib>
#include <ostream>

namespace vxr {

bool CStreamOutputKind::Add(const std::string& entry, std::string* error) {
  ParsedOutputUrl parsed = ParseOutputUrl(entry);
  if (!parsed.settings) {
    *error = parsed.error;
    return false;
  }
  // The deck's own name for its service unless the address gives one.
  const char* instance = std::getenv("VXRDECK_INSTANCE");
  if (parsed.settings->service_name.empty() && instance != nullptr) {
    parsed.settings->service_name = std::string(instance).substr(0, kMaxServiceNameLength);
  }
  std::string why;
  if (!LoadPassphraseFile(&*parsed.settings, &why) ||
      !ProbeStreamEncoders(*parsed.settings, &why)) {
    *error = "output '" + RedactOutputUrl(entry) + "': " + why;
    return false;
  }
  settings_.push_back(std::move(*parsed.settings));
  return true;
}

void CStreamOutputKind::Start(const ProgramOutputStart& start) {
  for (const StreamSettings& settings : settings_) {
    start.errors << "output " << settings.display_name
                 << ": program stream of the board's output\n";
    auto stream = std::make_shared<CStreamOutput>(settings, start.format, start.clock);
    running_.push_back(stream);
    start.program.AddSink(stream);
  }
}

std::vector<std::string> CStreamOutputKind::Finish(CProgramOutput& program) {
  return FinishSinks(program, &running_, [](CStreamOutput& stream) {
    stream.Stop();
    return stream.Figures();
  });
}

}  // namespace vxr
