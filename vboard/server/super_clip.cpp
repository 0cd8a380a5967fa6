#include "vboard/server/super_clip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "platform/diagnostics.h"
#include "player/clv_results.h"
#include "vboard/server/tml_project.h"

namespace vxr {
namespace {

// Frame counts divided by a rate may land a hair below the whole number of output frames they
// are; the deck truncates duration x rate, so such a duration is raised to the next double that
// reaches the whole number.
double SnapToWholeFrames(double duration, double rate) {
  const double frames = duration * rate;
  const double whole = std::round(frames);
  if (whole > frames && whole - frames < 1e-6) {
    while (duration * rate < whole) {
      duration = std::nextafter(duration, std::numeric_limits<double>::infinity());
    }
  }
  return duration;
}

void Report(const std::string& text) { DebugOutput("Err AddProject", text); }

}  // namespace

HRESULT CSuperClip::AddProject(const std::string& path) {
  if (path.empty()) return E_INVALIDARG;
  std::vector<TmlClip> lines;
  std::string error;
  if (const HRESULT read = ReadTmlProject(path, &lines, &error); FAILED(read)) {
    Report(path + ": " + error);
    return read;
  }
  std::vector<ClipEntry> entries;
  // Each movie is probed once per load, however many clips it gives.
  std::map<std::string, MovieFacts> probed;
  for (const TmlClip& line : lines) {
    const std::string where = path + ":" + std::to_string(line.line) + ": ";
    ClipEntry entry;
    const auto known = probed.find(line.path);
    if (known != probed.end()) {
      entry.movie = known->second;
    } else if (const HRESULT opened = ProbeMovie(line.path, &entry.movie); FAILED(opened)) {
      Report(where + "cannot open the movie \"" + line.path + "\"");
      return opened;
    } else {
      probed.emplace(line.path, entry.movie);
    }
    const std::uint32_t last = entry.movie.frame_count - 1;
    entry.first_frame = line.in_frame.value_or(0);
    entry.last_frame = line.out_frame.value_or(last);
    if (entry.first_frame > last || entry.last_frame > last) {
      Report(where + "frames beyond the movie's last frame " + std::to_string(last));
      return CLV_E_BAD_PROJECT;
    }
    entries.push_back(std::move(entry));
  }
  Append(entries);
  std::lock_guard lock(mutex_);
  if (source_.empty()) source_ = path;
  return S_OK;
}

void CSuperClip::Append(const std::vector<ClipEntry>& clips) {
  std::lock_guard lock(mutex_);
  clips_.insert(clips_.end(), clips.begin(), clips.end());
  for (const ClipEntry& clip : clips) {
    max_width_ = std::max(max_width_, clip.movie.width);
    max_height_ = std::max(max_height_, clip.movie.height);
  }
}

int CSuperClip::MaxWidth() const {
  std::lock_guard lock(mutex_);
  return max_width_;
}

int CSuperClip::MaxHeight() const {
  std::lock_guard lock(mutex_);
  return max_height_;
}

HRESULT CSuperClip::AddMovie(const std::shared_ptr<IClvMovie>& movie) {
  if (!movie) return E_POINTER;
  const auto own = std::dynamic_pointer_cast<CMovie>(movie);
  if (!own) return E_INVALIDARG;
  const std::optional<MovieFacts> facts = own->Facts();
  if (!facts) return CLV_E_NO_MATERIAL;
  ClipEntry entry;
  entry.movie = *facts;
  entry.first_frame = 0;
  entry.last_frame = facts->frame_count - 1;
  Append({entry});
  std::lock_guard lock(mutex_);
  if (source_.empty()) source_ = facts->path;
  return S_OK;
}

HRESULT CSuperClip::GetFilledDataInfo(std::uint32_t* flags, std::int32_t* width,
                                      std::int32_t* height) {
  std::lock_guard lock(mutex_);
  if (clips_.empty()) return CLV_E_NO_MATERIAL;
  const MovieFacts& first = clips_.front().movie;
  if (flags) *flags = first.flags;
  if (width) *width = first.width;
  if (height) *height = first.height;
  return S_OK;
}

HRESULT CSuperClip::get_Duration(double* seconds) {
  if (seconds == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (clips_.empty()) return CLV_E_NO_MATERIAL;
  *seconds = DurationLocked();
  return S_OK;
}

double CSuperClip::DurationLocked() const {
  double total = 0.0;
  for (const ClipEntry& clip : clips_) total += clip.Duration();
  return SnapToWholeFrames(total, output_rate_);
}

std::int64_t CSuperClip::OutputFrames() const {
  std::lock_guard lock(mutex_);
  if (clips_.empty()) return 0;
  return static_cast<std::int64_t>(std::ceil(DurationLocked() * output_rate_ - 1e-6));
}

bool CSuperClip::MaterialAt(std::int64_t tape_frame, MaterialPicture* picture) const {
  if (tape_frame < 0 || tape_frame >= OutputFrames()) return false;
  std::lock_guard lock(mutex_);
  const double time = static_cast<double>(tape_frame) / output_rate_;
  double start = 0.0;
  for (std::size_t i = 0; i < clips_.size(); ++i) {
    const ClipEntry& clip = clips_[i];
    const double end = start + clip.Duration();
    if (time < end - 1e-9 || i + 1 == clips_.size()) {
      double offset = std::floor((time - start) * clip.movie.FramesPerSecond() + 1e-6);
      offset = std::fmin(std::fmax(offset, 0.0), clip.FrameCount() - 1.0);
      picture->clip = i;
      picture->path = clip.movie.path;
      picture->movie_frame = clip.first_frame + static_cast<std::uint32_t>(offset);
      picture->width = clip.movie.width;
      picture->height = clip.movie.height;
      picture->aspect_ratio = clip.movie.aspect_ratio;
      return true;
    }
    start = end;
  }
  return false;
}

std::vector<ClipEntry> CSuperClip::Clips() const {
  std::lock_guard lock(mutex_);
  return clips_;
}

std::string CSuperClip::Source() const {
  std::lock_guard lock(mutex_);
  return source_;
}

}  // namespace vxr
