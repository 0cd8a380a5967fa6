#include "library/tape_library.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/thread_name.h"
#include "player/clv_results.h"
#include "vboard/media/movie_probe.h"
#include "vboard/server/tml_project.h"

namespace vxr {
namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 6> kKinds = {"AVI", "TML", "MOV", "MP4", "MXF", "MKV"};
constexpr const char* kProjectSuffix = ".tml";
// A file last written this long ago is not being written: offered at the first scan that sees
// it. A newer one waits until a scan finds it unchanged.
constexpr auto kSettled = std::chrono::seconds(2);

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string ProbeProblem(HRESULT result) {
  if (result == CLV_E_NOT_A_MOVIE) return "not a movie";
  if (result == CLV_E_NO_VIDEO) return "no picture in it";
  if (result == CLV_E_DAMAGED_MOVIE) return "damaged or cut short";
  if (result == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) return "cannot be read";
  if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return "gone";
  char text[32];
  std::snprintf(text, sizeof text, "probe error 0x%08X", static_cast<unsigned>(result));
  return text;
}

void FillFacts(const MovieFacts& facts, LibraryTape* tape) {
  tape->width = facts.width;
  tape->height = facts.height;
  tape->rate = facts.FramesPerSecond();
  tape->codec = facts.codec;
}

void ProbeProject(LibraryTape* tape) {
  std::vector<TmlClip> clips;
  std::string error;
  const HRESULT read = ReadTmlProject(tape->path, &clips, &error);
  if (FAILED(read)) {
    tape->problem = error.empty() ? ProbeProblem(read) : error;
    return;
  }
  double seconds = 0.0;
  for (const TmlClip& clip : clips) {
    MovieFacts facts;
    const HRESULT probed = ProbeMovie(clip.path, &facts);
    if (FAILED(probed)) {
      tape->problem = clip.path + ": " + ProbeProblem(probed);
      return;
    }
    const std::uint32_t last = clip.out_frame.value_or(facts.frame_count - 1);
    const std::uint32_t first = clip.in_frame.value_or(0);
    if (first > last || last >= facts.frame_count) {
      tape->problem = clip.path + ": frames outside the movie";
      return;
    }
    if (tape->width == 0) FillFacts(facts, tape);
    seconds += (last - first + 1) / facts.FramesPerSecond();
  }
  tape->seconds = seconds;
  tape->playable = true;
}

std::int64_t ModifiedNs(const fs::file_time_type& time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

}  // namespace

CTapeLibrary::CTapeLibrary(std::vector<std::string> folders, std::string state_folder,
                           TapeProbe probe)
    : folders_(std::move(folders)),
      state_folder_(std::move(state_folder)),
      probe_(std::move(probe)) {}

CTapeLibrary::~CTapeLibrary() { Stop(); }

std::string CTapeLibrary::KindOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string();
  const std::string extension = Upper(name.substr(dot + 1));
  for (const char* kind : kKinds) {
    if (extension == kind) return kind;
  }
  return std::string();
}

void CTapeLibrary::ProbeTape(LibraryTape* tape) {
  if (tape->kind == "TML") {
    ProbeProject(tape);
    return;
  }
  MovieFacts facts;
  const HRESULT probed = ProbeMovie(tape->path, &facts);
  if (FAILED(probed)) {
    tape->problem = ProbeProblem(probed);
    return;
  }
  FillFacts(facts, tape);
  tape->seconds = facts.frame_count / facts.FramesPerSecond();
  if (tape->kind != "AVI" && tape->path.find('"') != std::string::npos) {
    // A timeline project quotes the path of its movie, and a quote cannot be written in one.
    tape->problem = "a double quote in its path";
    return;
  }
  tape->playable = true;
}

std::vector<LibraryTape> CTapeLibrary::Scan() {
  std::vector<LibraryTape> found;
  std::map<std::string, Seen> seen;
  const fs::file_time_type settled = fs::file_time_type::clock::now() - kSettled;
  for (const std::string& folder : folders_) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      const fs::directory_entry& entry = *it;
      std::error_code stat_error;
      if (!entry.is_regular_file(stat_error)) continue;
      LibraryTape tape;
      tape.path = entry.path().string();
      tape.name = entry.path().filename().string();
      tape.kind = KindOf(tape.name);
      if (tape.kind.empty()) continue;
      tape.size = entry.file_size(stat_error);
      tape.modified = ModifiedNs(entry.last_write_time(stat_error));
      if (stat_error) continue;
      seen[tape.path] = {tape.size, tape.modified};
      const auto last = last_seen_.find(tape.path);
      const bool still = (last != last_seen_.end() && last->second.size == tape.size &&
                          last->second.modified == tape.modified) ||
                         entry.last_write_time(stat_error) < settled;
      const auto cached = cache_.find(tape.path);
      if (cached != cache_.end() && cached->second.size == tape.size &&
          cached->second.modified == tape.modified) {
        found.push_back(cached->second);
      } else if (still) {
        probe_(&tape);
        cache_[tape.path] = tape;
        found.push_back(tape);
      }
      // A file new or changed since the last scan waits for the next one.
    }
  }
  std::erase_if(cache_, [&seen](const auto& entry) { return !seen.contains(entry.first); });
  last_seen_ = std::move(seen);
  std::sort(found.begin(), found.end(), [](const LibraryTape& a, const LibraryTape& b) {
    return a.name != b.name ? a.name < b.name : a.path < b.path;
  });
  return found;
}

bool CTapeLibrary::Rescan() {
  std::vector<LibraryTape> all = Scan();
  std::vector<LibraryTape> offered;
  for (const LibraryTape& tape : all) {
    if (tape.playable) offered.push_back(tape);
  }
  std::lock_guard lock(mutex_);
  const auto same = [](const LibraryTape& a, const LibraryTape& b) {
    return a.path == b.path && a.size == b.size && a.modified == b.modified;
  };
  const bool changed =
      !std::equal(offered.begin(), offered.end(), offered_.begin(), offered_.end(), same);
  all_ = std::move(all);
  offered_ = std::move(offered);
  if (changed) ++generation_;
  return changed;
}

void CTapeLibrary::Watch(int period_ms, std::function<void()> on_change) {
  Stop();
  stop_watch_ = false;
  watcher_ = std::thread([this, period_ms, on_change = std::move(on_change)] {
    SetCurrentThreadName("vxr library");
    std::unique_lock lock(watch_mutex_);
    while (!watch_wake_.wait_for(lock, std::chrono::milliseconds(period_ms),
                                 [this] { return stop_watch_; })) {
      lock.unlock();
      if (Rescan() && on_change) on_change();
      lock.lock();
    }
  });
}

void CTapeLibrary::Stop() {
  {
    std::lock_guard lock(watch_mutex_);
    stop_watch_ = true;
  }
  watch_wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

std::vector<LibraryTape> CTapeLibrary::All() const {
  std::lock_guard lock(mutex_);
  return all_;
}

std::vector<LibraryTape> CTapeLibrary::Offered() const {
  std::lock_guard lock(mutex_);
  return offered_;
}

std::string CTapeLibrary::ProjectPathFor(const LibraryTape& tape) const {
  // One project per movie path: the name, and the path's hash against two movies of one name.
  const std::size_t hash = std::hash<std::string>{}(tape.path);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "-%016zx", hash);
  return (fs::path(state_folder_) / (tape.name + suffix + kProjectSuffix)).string();
}

int CTapeLibrary::IdOf(const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < offered_.size(); ++i) {
    const LibraryTape& tape = offered_[i];
    const bool wrapped = tape.kind != "AVI" && tape.kind != "TML";
    if (tape.path == path || (wrapped && ProjectPathFor(tape) == path)) {
      return static_cast<int>(i) + 1;
    }
  }
  return 0;
}

std::string CTapeLibrary::LoadPath(int id, std::string* error) const {
  LibraryTape tape;
  {
    std::lock_guard lock(mutex_);
    if (id < 1 || static_cast<std::size_t>(id) > offered_.size()) {
      *error = "no tape " + std::to_string(id) + " in the library";
      return std::string();
    }
    tape = offered_[static_cast<std::size_t>(id) - 1];
  }
  if (tape.kind == "AVI" || tape.kind == "TML") return tape.path;
  const std::string project = ProjectPathFor(tape);
  std::error_code made;
  fs::create_directories(state_folder_, made);
  const std::string temporary = project + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "# made by vxrdeck for the library's movie\n\"" << tape.path << "\"\n";
    if (!out.flush()) {
      *error = "cannot write " + temporary;
      return std::string();
    }
  }
  std::error_code renamed;
  fs::rename(temporary, project, renamed);
  if (renamed) {
    *error = "cannot write " + project + ": " + renamed.message();
    return std::string();
  }
  return project;
}

}  // namespace vxr
