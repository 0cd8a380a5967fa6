#include "vboard/program/tape_decoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"

namespace vxr {
namespace {

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr std::size_t kMaxPathPictures = 1024;  // tape frames a run keeps at the most
// While a run is decoded, the worker looks at the output at most this often.
constexpr std::int64_t kRefreshNs = 5'000'000;
constexpr std::size_t kMegabyte = 1u << 20;
constexpr std::size_t kMinKeptBytes = 1u;  // a kept picture's size before any is known

}  // namespace

DecoderLimits DecoderLimits::ForBudget(std::size_t megabytes, std::size_t read_ahead) {
  DecoderLimits limits;
  const std::size_t bytes = std::max<std::size_t>(megabytes, 1) * kMegabyte;
  limits.max_bytes = bytes / 4;
  limits.max_kept_bytes = bytes - limits.max_bytes;
  limits.read_ahead = read_ahead;
  limits.max_pictures = std::max(limits.max_pictures, read_ahead + 1);
  return limits;
}

DecoderLimits DecoderLimits::WithBoardSettings(const BoardConfig& config) const {
  DecoderLimits limits = *this;
  const std::size_t ahead = config.read_ahead.value_or(read_ahead);
  if (config.decode_mb) {
    const DecoderLimits budget = ForBudget(*config.decode_mb, ahead);
    limits.max_bytes = budget.max_bytes;
    limits.max_kept_bytes = budget.max_kept_bytes;
  }
  limits.read_ahead = ahead;
  limits.max_pictures = std::max(limits.max_pictures, ahead + 1);
  return limits;
}

CTapeDecoder::CTapeDecoder(OutlookSource source, DecoderLimits limits, FramingSource framing)
    : source_(std::move(source)), limits_(limits), framing_source_(std::move(framing)) {
  worker_ = std::thread([this] { Run(); });
}

CTapeDecoder::~CTapeDecoder() {
  stopping_ = true;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  idle_.notify_all();
  if (worker_.joinable()) worker_.join();
}

CTapeDecoder::Found CTapeDecoder::Lookup(const CSuperClip* tape, std::int64_t frame,
                                         const Framing* framing) const {
  Found found;
  if (tape == nullptr || frame < 0) return found;
  std::lock_guard lock(mutex_);
  const Key key{tape, frame};
  auto after = cache_.lower_bound(key);
  if (after != cache_.end() && after->first == key) {
    if (after->second.stand_in >= 0) {
      // Left from a wind that has stopped, it is only the nearest picture.
      return Found{after->second.picture, after->second.stand_in, false, motion_.winding};
    }
    const bool whole = framing == nullptr || HoldsVisiblePart(*after->second.picture, *framing);
    return Found{after->second.picture, frame, whole};
  }
  // The nearest picture of the same tape, on either side.
  auto consider = [&](std::map<Key, Entry>::const_iterator it) {
    if (it->first.first != tape) return;
    if (found.frame < 0 || std::llabs(it->first.second - frame) < std::llabs(found.frame - frame)) {
      found.picture = it->second.picture;
      found.frame = it->second.stand_in >= 0 ? it->second.stand_in : it->first.second;
    }
  };
  if (after != cache_.end()) consider(after);
  if (after != cache_.begin()) consider(std::prev(after));
  return found;
}

void CTapeDecoder::Seen(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame) {
  {
    std::lock_guard lock(mutex_);
    if (tape.get() != seen_tape_ || frame < 0) seen_.clear();
    seen_tape_ = tape.get();
    if (frame >= 0) seen_.push_back(frame);
    while (seen_.size() > OutputMotion::kPaceTicks + 1) seen_.pop_front();
    nudged_ = true;
  }
  wake_.notify_one();
}

void CTapeDecoder::Nudge() {
  {
    std::lock_guard lock(mutex_);
    nudged_ = true;
  }
  wake_.notify_one();
}

bool CTapeDecoder::WaitIdle(int timeout_ms) {
  std::unique_lock lock(mutex_);
  // A round that had begun before this call may have missed the latest change: wait for the
  // one after it.
  const std::int64_t goal = idle_rounds_ + 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!stop_ && idle_rounds_ < goal) {
    nudged_ = true;
    wake_.notify_one();
    if (idle_.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  return !stop_ && idle_rounds_ >= goal;
}

CTapeDecoder::Stats CTapeDecoder::stats() const {
  std::lock_guard lock(mutex_);
  Stats copy = stats_;
  copy.cached = cache_.size();
  copy.cached_bytes = cache_bytes_;
  copy.kept = kept_.size();
  copy.kept_bytes = kept_bytes_;
  return copy;
}

void CTapeDecoder::NotePeakLocked() {
  stats_.peak_bytes = std::max(stats_.peak_bytes, cache_bytes_ + kept_bytes_);
}

bool CTapeDecoder::CachedLocked(const Key& key) const {
  const auto entry = cache_.find(key);
  if (entry == cache_.end()) return false;
  // A key frame stands in for its picture only while the output winds.
  if (entry->second.stand_in >= 0 &&
      (!motion_.winding || (held_ && !plan_.empty() && plan_.front().tape.get() == key.first &&
                            plan_.front().frame == key.second))) {
    return false;
  }
  return !framing_ || HoldsVisiblePart(*entry->second.picture, *framing_);
}

bool CTapeDecoder::KeptUsableLocked(const Kept& kept) const {
  if (!framing_) return true;
  const Crop need = framing_->VisiblePart(kept.raw->material_width(), kept.raw->material_height());
  const Crop& part = kept.raw->part();
  if (need.width <= 0 || need.height <= 0) return true;
  return part.x <= need.x && part.y <= need.y && part.x + part.width >= need.x + need.width &&
         part.y + part.height >= need.y + need.height;
}

std::size_t CTapeDecoder::KeptCapacityLocked() const {
  const std::size_t each = std::max(kept_picture_bytes_, kMinKeptBytes);
  return std::min(limits_.max_kept_bytes / each, kMaxPathPictures);
}

std::vector<CTimeline::TapePicture> CTapeDecoder::Plan(
    const CTimeline::Outlook& outlook, double pace, const std::optional<Framing>& framing) const {
  std::vector<CTimeline::TapePicture> plan;
  // As many pictures as the cache holds together, so that none of them pushes out another:
  // each is at most output-sized and at most the size of the tape's largest material.
  std::size_t size =
      std::min(limits_.read_ahead + 1, std::max<std::size_t>(limits_.max_pictures, 1));
  if (const CSuperClip* tape = outlook.on_output.tape.get(); tape != nullptr) {
    const int width = tape->MaxWidth(), height = tape->MaxHeight();
    const std::size_t bytes =
        framing ? framing->MaxPictureBytes(width, height)
                : static_cast<std::size_t>(std::max(width, 1)) * std::max(height, 1) * 4;
    size = std::clamp<std::size_t>(limits_.max_bytes / bytes, 1, size);
  }
  auto add = [&](const CTimeline::TapePicture& picture) {
    if (!picture.tape || picture.frame < 0 || plan.size() >= size) return;
    for (const CTimeline::TapePicture& known : plan) {
      if (known.tape == picture.tape && known.frame == picture.frame) return;
    }
    plan.push_back(picture);
  };
  add(outlook.on_output);
  for (const CTimeline::TapePicture& picture : outlook.next) add(picture);
  // Beyond the queue: on in the direction and at the pace the output moves.
  if (plan.empty() || std::fabs(pace) < 0.5 || plan.back().tape != outlook.on_output.tape) {
    return plan;
  }
  const CTimeline::TapePicture last = plan.back();
  const std::int64_t frames = last.tape->OutputFrames();
  double position = static_cast<double>(last.frame);
  for (std::size_t step = 0; plan.size() < size && step < 2 * size; ++step) {
    position += pace;
    const std::int64_t frame = std::llround(position);
    if (frame < 0 || frame >= frames) break;
    add(CTimeline::TapePicture{last.tape, frame});
  }
  return plan;
}

void CTapeDecoder::Run() {
  SetCurrentThreadName("board decoder");
  try {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      lock.unlock();
      Refresh();
      lock.lock();
      if (stop_) break;
      const std::int64_t now = SteadyNs();
      const CTimeline::TapePicture* target = nullptr;
      for (const CTimeline::TapePicture& picture : plan_) {
        const Key key{picture.tape.get(), picture.frame};
        if (CachedLocked(key)) continue;
        const auto failure = failed_.find(key);
        if (failure != failed_.end() && now - failure->second < kRetryNs) continue;
        target = &picture;
        break;
      }
      CTimeline::TapePicture run;
      if (target == nullptr && NextRunLocked(&run)) {
        stats_.decoding = true;
        lock.unlock();
        DecodeRun(run);
        lock.lock();
        stats_.decoding = false;
        continue;
      }
      if (target == nullptr) {
        ++idle_rounds_;
        idle_.notify_all();
        // Nothing to do: sleep until a tick, a change of the queue or a stop.
        wake_.wait_for(lock, std::chrono::milliseconds(limits_.poll_ms),
                       [this] { return stop_ || nudged_; });
        nudged_ = false;
        continue;
      }
      const CTimeline::TapePicture picture = *target;
      stats_.decoding = true;
      lock.unlock();
      DecodeOne(picture);
      lock.lock();
      stats_.decoding = false;
    }
  } catch (const std::exception& error) {
    DebugOutput("Err vboard", std::string("picture decoder stopped: ") + error.what());
  } catch (...) {
    DebugOutput("Err vboard", "picture decoder stopped by an unknown failure");
  }
}

void CTapeDecoder::DecodeOne(const CTimeline::TapePicture& target) {
  const Key key{target.tape.get(), target.frame};
  std::vector<std::shared_ptr<const Picture>> dropped;  // freed after the lock is let go
  std::vector<std::shared_ptr<const CRawPicture>> dropped_raw;
  auto fail = [&] {
    std::lock_guard lock(mutex_);
    failed_[key] = SteadyNs();
    ++stats_.failed;
  };
  MaterialPicture material;
  if (!target.tape->MaterialAt(target.frame, &material)) return fail();

  std::vector<CTimeline::TapePicture> plan;
  std::optional<Framing> framing;
  double pace = 0.0;
  bool stays = false;  // the output will stand on this picture: its own picture, not a key frame
  bool winding = false;
  std::shared_ptr<const CRawPicture> kept;
  {
    std::lock_guard lock(mutex_);
    stays = held_ && !plan_.empty() && plan_.front().tape == target.tape &&
            plan_.front().frame == target.frame;
    // Material slower than the output shows one movie picture at several tape frames.
    for (const auto& [cached_key, entry] : cache_) {
      if (entry.tape == target.tape && entry.path == material.path &&
          entry.movie_frame == material.movie_frame && entry.stand_in < 0 &&
          (!framing_ || HoldsVisiblePart(*entry.picture, *framing_))) {
        InsertLocked(target, material.path, material.movie_frame, entry.picture, &dropped);
        return;
      }
    }
    // Decoded already on a run: converting is all that is left.
    for (const auto& [kept_key, entry] : kept_) {
      if (entry.tape == target.tape && entry.path == material.path &&
          entry.movie_frame == material.movie_frame && KeptUsableLocked(entry)) {
        kept = entry.raw;
        break;
      }
    }
    plan = plan_;
    framing = framing_;
    pace = motion_.pace;
    winding = motion_.winding;
  }
  if (kept) {
    std::shared_ptr<const Picture> picture = converter_.Convert(*kept);
    if (!picture) return fail();
    std::lock_guard lock(mutex_);
    InsertLocked(target, material.path, material.movie_frame, std::move(picture), &dropped);
    return;
  }
  CMovieDecoder* decoder = DecoderFor(material.path);
  if (decoder == nullptr) return fail();
  if (winding && !stays && !decoder->IntraOnly()) {
    return ShowKeyFrame(target, material, decoder);
  }

  // Other wanted pictures of the same movie that decoding may pass on its way.
  std::multimap<std::uint32_t, CTimeline::TapePicture> on_the_way;
  for (const CTimeline::TapePicture& picture : plan) {
    MaterialPicture other;
    if (picture.tape == target.tape && picture.frame != target.frame &&
        target.tape->MaterialAt(picture.frame, &other) && other.path == material.path) {
      on_the_way.emplace(other.movie_frame, picture);
    }
  }
  // The pictures before this one that a backward motion would show are kept as decoded: the run
  // from the key frame is decoded once. (Going forward they are the first to make room.)
  Path before =
      !decoder->IntraOnly() ? PathBefore(*target.tape, target.frame, material.path, pace) : Path{};
  // While the run decodes the output may be told to move (a jog or shuttle right after a cue):
  // the pictures it then queues, and the path back from the last of them, are taken on the way.
  const auto look_again = [&] {
    std::int64_t anchor = -1;
    double now_pace = 0.0;
    {
      std::lock_guard lock(mutex_);
      now_pace = motion_.pace;
      for (const CTimeline::TapePicture& next : plan_) {
        MaterialPicture other;
        if (next.tape != target.tape || next.frame == target.frame ||
            !target.tape->MaterialAt(next.frame, &other) || other.path != material.path) {
          continue;
        }
        anchor = next.frame;
        const auto [first, last] = on_the_way.equal_range(other.movie_frame);
        if (std::none_of(first, last,
                         [&](const auto& known) { return known.second.frame == next.frame; })) {
          on_the_way.emplace(other.movie_frame, next);
        }
      }
    }
    if (decoder->IntraOnly() || now_pace > -0.5 || anchor < 0 || anchor >= target.frame) return;
    for (const auto& step : PathBefore(*target.tape, anchor, material.path, now_pace)) {
      const auto [first, last] = before.equal_range(step.first);
      if (std::none_of(first, last,
                       [&](const auto& known) { return known.second == step.second; })) {
        before.emplace(step.first, step.second);
      }
    }
  };
  CMovieDecoder::Bystanders bystanders;
  bystanders.wants = [&](std::uint32_t n) {
    if (SteadyNs() - refreshed_ns_ >= kRefreshNs) {
      ConvertKept();
      look_again();
    }
    if (on_the_way.count(n) != 0) return CMovieDecoder::Want::kPicture;
    return before.count(n) != 0 ? CMovieDecoder::Want::kRaw : CMovieDecoder::Want::kNo;
  };
  bystanders.take = [&](std::uint32_t n, std::shared_ptr<const Picture> picture) {
    std::lock_guard lock(mutex_);
    const auto [first, last] = on_the_way.equal_range(n);
    for (auto it = first; it != last; ++it) {
      InsertLocked(it->second, material.path, n, picture, &dropped);
    }
    on_the_way.erase(n);
  };
  bystanders.keep = [&](std::uint32_t n, std::shared_ptr<const CRawPicture> raw) {
    std::lock_guard lock(mutex_);
    const auto [first, last] = before.equal_range(n);
    for (auto it = first; it != last; ++it) {
      KeepLocked(CTimeline::TapePicture{target.tape, it->second}, material.path, n, raw,
                 &dropped_raw);
    }
  };
  std::shared_ptr<const Picture> picture;
  HRESULT result = E_FAIL;
  try {
    CMovieDecoder::CropRule crop;
    if (framing) {
      crop = [&framing](int width, int height) { return framing->VisiblePart(width, height); };
    }
    result = decoder->Decode(material.movie_frame, &picture, &bystanders, &crop);
  } catch (const std::bad_alloc&) {
    result = E_OUTOFMEMORY;
  }
  if (FAILED(result) || !picture) return fail();
  std::lock_guard lock(mutex_);
  InsertLocked(target, material.path, material.movie_frame, std::move(picture), &dropped);
}

void CTapeDecoder::ShowKeyFrame(const CTimeline::TapePicture& target,
                                const MaterialPicture& material, CMovieDecoder* decoder) {
  const Key key{target.tape.get(), target.frame};
  std::optional<Framing> framing;
  {
    std::lock_guard lock(mutex_);
    framing = framing_;
  }
  CMovieDecoder::CropRule crop;
  if (framing) {
    crop = [&framing](int width, int height) { return framing->VisiblePart(width, height); };
  }
  std::shared_ptr<const Picture> picture;
  std::uint32_t key_frame = 0;
  HRESULT result = E_FAIL;
  try {
    result = decoder->DecodeKeyBefore(material.movie_frame, &picture, &key_frame, &crop);
  } catch (const std::bad_alloc&) {
    result = E_OUTOFMEMORY;
  }
  std::vector<std::shared_ptr<const Picture>> dropped;
  std::lock_guard lock(mutex_);
  if (FAILED(result) || !picture) {
    failed_[key] = SteadyNs();
    ++stats_.failed;
    return;
  }
  // The tape frame that shows the key frame: back by the pictures between, at the output rate.
  double movie_rate = 0.0;
  const std::vector<ClipEntry> clips = target.tape->Clips();
  if (material.clip < clips.size()) movie_rate = clips[material.clip].movie.FramesPerSecond();
  const double back =
      movie_rate > 0.0 ? (material.movie_frame - key_frame) * target.tape->OutputRate() / movie_rate
                       : 0.0;
  const std::int64_t shows = std::max<std::int64_t>(target.frame - std::llround(back), 0);
  InsertLocked(target, material.path, key_frame, std::move(picture), &dropped);
  if (auto entry = cache_.find(key); entry != cache_.end()) {
    // Its own picture when the key frame is the one asked for.
    entry->second.stand_in = key_frame == material.movie_frame ? -1 : shows;
  }
  ++stats_.key_frames;
}

CTapeDecoder::Path CTapeDecoder::PathBefore(const CSuperClip& tape, std::int64_t tape_frame,
                                            const std::string& path, double pace) const {
  Path before;
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    count = KeptCapacityLocked();
  }
  const double step = std::min(pace, -1.0);
  double position = static_cast<double>(tape_frame);
  for (std::size_t i = 0; i < count; ++i) {
    position += step;
    const std::int64_t frame = std::llround(position);
    MaterialPicture material;
    if (frame < 0 || !tape.MaterialAt(frame, &material) || material.path != path) break;
    before.emplace(material.movie_frame, frame);
  }
  return before;
}

void CTapeDecoder::Refresh() {
  OutputMotion measured;
  {
    std::lock_guard lock(mutex_);
    measured = OutputMotion::Measured(seen_);
  }
  const CTimeline::Outlook outlook = source_ ? source_(limits_.read_ahead) : CTimeline::Outlook{};
  // What the output is told to show next sets the direction at once; the measured pace is for
  // what commands nothing.
  const OutputMotion motion = OutputMotion::Read(outlook, measured);
  std::optional<Framing> framing;
  if (framing_source_) framing = framing_source_();
  std::vector<CTimeline::TapePicture> plan = Plan(outlook, motion.pace, framing);
  std::lock_guard lock(mutex_);
  plan_ = std::move(plan);
  framing_ = framing;
  motion_ = motion;
  held_ = outlook.next.empty();
  refreshed_ns_ = SteadyNs();
}

void CTapeDecoder::ConvertKept() {
  Refresh();
  for (;;) {
    CTimeline::TapePicture at;
    std::shared_ptr<const CRawPicture> raw;
    Kept found;
    {
      std::lock_guard lock(mutex_);
      for (const CTimeline::TapePicture& picture : plan_) {
        const Key key{picture.tape.get(), picture.frame};
        if (CachedLocked(key)) continue;
        const auto kept = kept_.find(key);
        if (kept == kept_.end() || !KeptUsableLocked(kept->second)) continue;
        at = picture;
        found = kept->second;
        break;
      }
    }
    if (!found.raw) return;
    std::shared_ptr<const Picture> picture = converter_.Convert(*found.raw);
    std::vector<std::shared_ptr<const Picture>> dropped;
    std::lock_guard lock(mutex_);
    if (!picture) {
      kept_bytes_ -= kept_[Key{at.tape.get(), at.frame}].raw->Bytes();
      kept_.erase(Key{at.tape.get(), at.frame});
      return;
    }
    InsertLocked(at, found.path, found.movie_frame, std::move(picture), &dropped);
  }
}

bool CTapeDecoder::PlanWaitsLocked() const {
  const std::int64_t now = SteadyNs();
  for (const CTimeline::TapePicture& picture : plan_) {
    const Key key{picture.tape.get(), picture.frame};
    if (CachedLocked(key) || kept_.count(key) != 0) continue;
    const auto failure = failed_.find(key);
    if (failure != failed_.end() && now - failure->second < kRetryNs) continue;
    return true;
  }
  return false;
}

bool CTapeDecoder::NextRunLocked(CTimeline::TapePicture* target) const {
  // Backwards, and standing still (a reverse motion may start): forwards, reading on decodes
  // every picture once anyway.
  // Still: told to stay (a cue), or, where nothing tells, on one frame for the whole pace
  // window. A play that follows a cue at once costs little: the run gives way as soon as the
  // output needs a picture it does not bring.
  double pace = motion_.pace;
  const bool still = motion_.still;
  if (still) pace = -1.0;
  if (pace > -0.5 || motion_.winding || plan_.empty()) return false;
  const CTimeline::TapePicture& last = plan_.back();
  if (!last.tape || last.tape != plan_.front().tape) return false;
  // Standing still, the run or two just before the output is enough.
  const std::size_t count = still ? KeptCapacityLocked() / 2 : KeptCapacityLocked();
  const std::int64_t now = SteadyNs();
  // With the store full, a picture further from the output than every kept one would make room
  // for nothing: it would go again at once.
  const std::int64_t output = plan_.front().frame;
  std::int64_t furthest = -1;
  if (kept_bytes_ + kept_picture_bytes_ > limits_.max_kept_bytes) {
    furthest = 0;
    for (const auto& [key, kept] : kept_) {
      if (key.first != last.tape.get()) continue;
      const std::int64_t distance = key.second > output ? key.second - output : output - key.second;
      furthest = std::max(furthest, distance);
    }
  }
  double position = static_cast<double>(last.frame);
  for (std::size_t i = 0; i < count; ++i) {
    position += pace;
    const std::int64_t frame = std::llround(position);
    if (frame < 0 || (furthest >= 0 && output - frame >= furthest)) return false;
    const Key key{last.tape.get(), frame};
    if (kept_.count(key) != 0 || CachedLocked(key)) continue;
    // Each picture of an intra-frame movie is reached straight: nothing to gain.
    MaterialPicture material;
    if (!last.tape->MaterialAt(frame, &material) || intra_paths_.count(material.path) != 0) {
      return false;
    }
    const auto failure = runs_failed_.find(key);
    if (failure != runs_failed_.end() && now - failure->second < kRetryNs) return false;
    *target = CTimeline::TapePicture{last.tape, frame};
    return true;
  }
  return false;
}

void CTapeDecoder::DecodeRun(const CTimeline::TapePicture& target) {
  const Key key{target.tape.get(), target.frame};
  std::vector<std::shared_ptr<const CRawPicture>> dropped;
  MaterialPicture material;
  CMovieDecoder* decoder =
      target.tape->MaterialAt(target.frame, &material) ? DecoderFor(material.path) : nullptr;
  std::optional<Framing> framing;
  double pace = 0.0;
  {
    std::lock_guard lock(mutex_);
    framing = framing_;
    pace = motion_.pace;
  }
  bool kept = false;
  if (decoder != nullptr && !decoder->IntraOnly()) {
    const Path before = PathBefore(*target.tape, target.frame, material.path, pace);
    CMovieDecoder::Bystanders bystanders;
    bool given_up = false;
    bystanders.wants = [&](std::uint32_t n) {
      // The output goes on meanwhile: what it needs next is converted between two pictures,
      // and a picture it needs that this run does not bring ends the run.
      if (SteadyNs() - refreshed_ns_ >= kRefreshNs) {
        ConvertKept();
        std::lock_guard lock(mutex_);
        if (PlanWaitsLocked()) {
          given_up = true;
          return CMovieDecoder::Want::kGiveUp;
        }
      }
      return before.count(n) != 0 ? CMovieDecoder::Want::kRaw : CMovieDecoder::Want::kNo;
    };
    bystanders.keep = [&](std::uint32_t n, std::shared_ptr<const CRawPicture> raw) {
      std::lock_guard lock(mutex_);
      const auto [first, last] = before.equal_range(n);
      for (auto it = first; it != last; ++it) {
        KeepLocked(CTimeline::TapePicture{target.tape, it->second}, material.path, n, raw,
                   &dropped);
      }
    };
    CMovieDecoder::CropRule crop;
    if (framing) {
      crop = [&framing](int width, int height) { return framing->VisiblePart(width, height); };
    }
    std::shared_ptr<const CRawPicture> raw;
    HRESULT result = E_FAIL;
    try {
      result = decoder->DecodeRaw(material.movie_frame, &raw, &bystanders, &crop);
    } catch (const std::bad_alloc&) {
      result = E_OUTOFMEMORY;
    }
    std::lock_guard lock(mutex_);
    if (SUCCEEDED(result) && raw) {
      KeepLocked(target, material.path, material.movie_frame, std::move(raw), &dropped);
      kept = kept_.count(key) != 0;
    }
    if (given_up) return;  // tried again once the output's pictures are in hand
  }
  // Not kept (no room before the pictures nearer the output, or no picture): not again soon.
  std::lock_guard lock(mutex_);
  if (!kept) runs_failed_[key] = SteadyNs();
  if (runs_failed_.size() > kMaxPathPictures) runs_failed_.clear();
}

void CTapeDecoder::KeepLocked(const CTimeline::TapePicture& at, const std::string& path,
                              std::uint32_t movie_frame, std::shared_ptr<const CRawPicture> raw,
                              std::vector<std::shared_ptr<const CRawPicture>>* dropped) {
  if (!raw) return;
  kept_picture_bytes_ = raw->Bytes();
  const Key key{at.tape.get(), at.frame};
  auto [it, inserted] = kept_.try_emplace(key);
  if (!inserted) {
    kept_bytes_ -= it->second.raw->Bytes();
    dropped->push_back(std::move(it->second.raw));
  }
  kept_bytes_ += raw->Bytes();
  it->second = Kept{at.tape, std::move(raw), path, movie_frame};
  // Over the budget: those of other tapes go first; going backwards, then the pictures the
  // output has passed; then those furthest from the output. (Kept pictures lie before the
  // output: only a backward motion has passed any of them.)
  const CSuperClip* tape = plan_.empty() ? nullptr : plan_.front().tape.get();
  const std::int64_t output = plan_.empty() ? 0 : plan_.front().frame;
  const bool backwards = motion_.pace < -0.5;
  auto badness = [&](const Key& candidate) {
    if (candidate.first != tape) return std::numeric_limits<std::int64_t>::max();
    const std::int64_t from_output = candidate.second - output;
    if (backwards && from_output > 0) {
      return std::numeric_limits<std::int64_t>::max() / 2 + from_output;
    }
    return from_output < 0 ? -from_output : from_output;
  };
  while (!kept_.empty() && kept_bytes_ > limits_.max_kept_bytes) {
    auto worst = kept_.begin();
    for (auto candidate = kept_.begin(); candidate != kept_.end(); ++candidate) {
      if (badness(candidate->first) >= badness(worst->first)) worst = candidate;
    }
    kept_bytes_ -= worst->second.raw->Bytes();
    dropped->push_back(std::move(worst->second.raw));
    kept_.erase(worst);
  }
  NotePeakLocked();
}

CMovieDecoder* CTapeDecoder::DecoderFor(const std::string& path) {
  for (auto it = decoders_.begin(); it != decoders_.end(); ++it) {
    if (it->first == path) {
      decoders_.splice(decoders_.begin(), decoders_, it);
      return decoders_.front().second.get();
    }
  }
  auto decoder = std::make_unique<CMovieDecoder>(&stopping_, limits_.threads);
  if (FAILED(decoder->Open(path))) return nullptr;
  if (decoder->IntraOnly()) {
    std::lock_guard lock(mutex_);
    intra_paths_.insert(path);
  }
  decoders_.emplace_front(path, std::move(decoder));
  while (decoders_.size() > std::max<std::size_t>(1, limits_.max_open_movies)) {
    decoders_.pop_back();
  }
  return decoders_.front().second.get();
}

void CTapeDecoder::InsertLocked(const CTimeline::TapePicture& at, const std::string& path,
                                std::uint32_t movie_frame, std::shared_ptr<const Picture> picture,
                                std::vector<std::shared_ptr<const Picture>>* dropped) {
  if (!picture) return;
  const Key key{at.tape.get(), at.frame};
  auto [it, inserted] = cache_.try_emplace(key);
  if (!inserted) {
    cache_bytes_ -= it->second.picture->Bytes();
    dropped->push_back(std::move(it->second.picture));
  }
  cache_bytes_ += picture->Bytes();
  it->second = Entry{at.tape, std::move(picture), path, movie_frame, -1};
  failed_.erase(key);
  ++stats_.decoded;
  // Over the limits: the pictures least likely to be shown soon go first. When that is the
  // new one, it is not tried again until the retry time has passed.
  while (!cache_.empty() &&
         (cache_.size() > limits_.max_pictures || cache_bytes_ > limits_.max_bytes)) {
    auto worst = cache_.begin();
    std::size_t worst_priority = 0;
    for (auto candidate = cache_.begin(); candidate != cache_.end(); ++candidate) {
      const std::size_t priority = PriorityLocked(candidate->first);
      if (priority >= worst_priority) {
        worst = candidate;
        worst_priority = priority;
      }
    }
    if (worst->first == key) failed_[key] = SteadyNs();
    cache_bytes_ -= worst->second.picture->Bytes();
    dropped->push_back(std::move(worst->second.picture));
    cache_.erase(worst);
    ++stats_.evicted;
  }
  if (failed_.size() > 4 * limits_.max_pictures + 64) failed_.clear();
  NotePeakLocked();
}

std::size_t CTapeDecoder::PriorityLocked(const Key& key) const {
  // 0 for the most urgent picture of the plan; then by distance from the output's picture;
  // pictures of other tapes last.
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    if (plan_[i].tape.get() == key.first && plan_[i].frame == key.second) return i;
  }
  if (plan_.empty() || plan_.front().tape.get() != key.first) {
    return std::numeric_limits<std::size_t>::max();
  }
  return plan_.size() + static_cast<std::size_t>(std::llabs(key.second - plan_.front().frame));
}

}  // namespace vxr
