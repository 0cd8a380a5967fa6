#include "sinks/qt/monitor_window_kind.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <ostream>

namespace vxr {

namespace {

constexpr const char* kWord = "monitor";
constexpr const char* kSwitchVariable = "VXR_BOARD_MONITOR";

}  // namespace

IProgramOutputKind::Claim CMonitorWindowKind::Claims(const std::string& entry) const {
  const std::string word = kWord;
  return entry == word || entry.starts_with(word + "?") ? Claim::kNamed : Claim::kNone;
}

bool CMonitorWindowKind::Add(const std::string& entry, std::string* error) {
  const std::size_t question = entry.find('?');
  const std::string query = question == std::string::npos ? "" : entry.substr(question + 1);
  return ParseBurnInQuery(query, entry, &burn_timecode_, error);
}

bool CMonitorWindowKind::Prepare(std::ostream& errors) {
  // No window under a QCoreApplication (a deck without a display).
  const bool display = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
  wanted_ = display && BoardMonitorWanted(no_monitor_, std::getenv(kSwitchVariable),
                                          QGuiApplication::platformName(), errors);
  return wanted_;
}

void CMonitorWindowKind::Start(const ProgramOutputStart& start) {
  if (!wanted_) return;
  window_ = std::make_shared<CMonitorWindow>(start.monitor, start.format, start.clock);
  window_->show();
  window_->SetBurnInTimecode(burn_timecode_);
  start.errors << "output monitor window: the board's output"
               << (burn_timecode_ ? " with burned-in timecode" : "") << "\n";
  start.program.AddSink(window_);
}

std::vector<std::string> CMonitorWindowKind::Finish(CProgramOutput& program) {
  if (window_) program.RemoveSink(window_.get());
  window_.reset();
  return {};
}

}  // namespace vxr
