#include "sinks/qt/screen_output_kind.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <charconv>
#include <chrono>
#include <ostream>
#include <sstream>

namespace vxr {
namespace {

constexpr const char* kWord = "screen";

// "screen N "NAME" WxH at X,Y, R Hz": a screen as the start-up lines and the lists show it.
std::string ScreenLine(int index, const QScreen* screen) {
  const QRect geometry = screen->geometry();
  return "screen " + std::to_string(index) + " \"" + screen->name().toStdString() + "\" " +
         std::to_string(geometry.width()) + "x" + std::to_string(geometry.height()) + " at " +
         std::to_string(geometry.x()) + "," + std::to_string(geometry.y()) + ", " +
         std::to_string(static_cast<int>(screen->refreshRate() + 0.5)) + " Hz";
}

// False under a QCoreApplication (a deck without windows): no screens.
bool HasDisplay() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QList<QScreen*> Screens() { return HasDisplay() ? QGuiApplication::screens() : QList<QScreen*>(); }

std::string Figures(const CScreenOutput& screen) {
  const CScreenOutput::Counts counts = screen.counts();
  const CLatencyRecord::Summary handover = screen.TickToHandover();
  std::ostringstream text;
  text << "output " << screen.Name() << ": " << counts.received << " ticks, " << counts.handed
       << " pictures handed over, " << counts.late + counts.replaced << " not within their tick, "
       << counts.presented << " drawn; tick to handover p99 "
       << std::chrono::duration<double, std::milli>(handover.p99).count() << " ms";
  return text.str();
}

}  // namespace

IProgramOutputKind::Claim CScreenOutputKind::Claims(const std::string& entry) const {
  const std::string word = kWord;
  const bool named =
      entry == word || entry.starts_with(word + ":") || entry.starts_with(word + "?");
  return named ? Claim::kNamed : Claim::kNone;
}

bool CScreenOutputKind::Add(const std::string& entry, std::string* error) {
  ScreenSettings screen;
  const std::size_t question = entry.find('?');
  const std::string head = entry.substr(0, question);
  const std::string query = question == std::string::npos ? "" : entry.substr(question + 1);
  const std::size_t word = std::string(kWord).size();
  if (head.size() > word) {
    const std::string number = head.substr(word + 1);
    int index = -1;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() || index < 0) {
      *error = "\"" + entry + "\": the screen is a number from 0 (see --list-outputs)";
      return false;
    }
    screen.screen = index;
  }
  if (!ParseBurnInQuery(query, entry, &screen.burn_timecode, error)) return false;
  settings_.push_back(screen);
  return true;
}

bool CScreenOutputKind::Check(std::string* error) const {
  if (settings_.empty()) return true;
  if (!HasDisplay()) {
    *error = "a screen output needs a display, and this deck runs without one";
    return false;
  }
  const QList<QScreen*> screens = QGuiApplication::screens();
  for (const ScreenSettings& screen : settings_) {
    if (screen.screen < screens.size() && !screens.empty()) continue;
    *error = "screen:" + std::to_string(screen.screen) + ": there is no screen " +
             std::to_string(screen.screen) + "; ";
    if (screens.empty()) {
      *error += "this display has no screen";
    } else {
      *error += "the screens are";
      for (int i = 0; i < screens.size(); ++i) {
        *error += (i == 0 ? " " : "; ") + ScreenLine(i, screens[i]);
      }
    }
    return false;
  }
  return true;
}

void CScreenOutputKind::List(std::ostream& out) const {
  const QList<QScreen*> screens = Screens();
  out << "Screens (--output screen:N; the last is the default):\n";
  if (screens.empty()) out << "  none\n";
  for (int i = 0; i < screens.size(); ++i) out << "  " << ScreenLine(i, screens[i]) << "\n";
}

bool CScreenOutputKind::Prepare(std::ostream& errors) {
  const QList<QScreen*> screens = Screens();
  for (int i = 0; i < screens.size(); ++i) errors << ScreenLine(i, screens[i]) << "\n";
  return !settings_.empty();
}

void CScreenOutputKind::Start(const ProgramOutputStart& start) {
  for (const ScreenSettings& settings : settings_) {
    if (!HasDisplay()) {
      start.errors << "output screen: no display, so no screen output\n";
      break;
    }
    std::string error;
    std::shared_ptr<CScreenOutput> screen =
        CScreenOutput::Create(settings, start.format, start.clock, &error);
    if (!screen) {
      // Check refused this before start-up; a screen gone since then is not fatal.
      start.errors << "output screen: " << error << "\n";
      continue;
    }
    start.errors << "output " << screen->Name() << ": the program picture full screen ("
                 << (screen->UsesOpenGl() ? "OpenGL, paced by the screen's refresh"
                                          : "plain window, no refresh pacing")
                 << (settings.burn_timecode ? ", burned-in timecode" : "") << ")\n";
    if (!start.shared.picture_delay_us)
      start.shared.picture_delay_us = screen->PictureDelaySource();
    running_.push_back(screen);
    start.program.AddSink(screen);
  }
}

std::vector<std::string> CScreenOutputKind::Finish(CProgramOutput& program) {
  return FinishSinks(program, &running_, Figures);
}

}  // namespace vxr
