#include "vboard/tape_decoder.h"

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

constexpr std::size_t kPaceTicks = 8;  // ticks the pace of the output is measured over

}  // namespace

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
    const bool whole = framing == nullptr || HoldsVisiblePart(*after->second.picture, *framing);
    return Found{after->second.picture, frame, whole};
  }
  // The nearest picture of the same tape, on either side.
  auto consider = [&](std::map<Key, Entry>::const_iterator it) {
    if (it->first.first != tape) return;
    if (found.frame < 0 || std::llabs(it->first.second - frame) < std::llabs(found.frame - frame)) {
      found.picture = it->second.picture;
      found.frame = it->first.second;
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
    while (seen_.size() > kPaceTicks + 1) seen_.pop_front();
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

double CTapeDecoder::PaceLocked() const {
  // The median step per tick: a cue's single jump does not set a pace, jog at half speed
  // (steps 0, 1, 0, 1) gives 0.5.
  if (seen_.size() < 2) return 0.0;
  std::vector<double> steps;
  for (std::size_t i = 1; i < seen_.size(); ++i) {
    steps.push_back(static_cast<double>(seen_[i] - seen_[i - 1]));
  }
  std::sort(steps.begin(), steps.end());
  const std::size_t middle = steps.size() / 2;
  return steps.size() % 2 ? steps[middle] : (steps[middle - 1] + steps[middle]) / 2.0;
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
  return copy;
}

bool CTapeDecoder::CachedLocked(const Key& key) const {
  const auto entry = cache_.find(key);
  if (entry == cache_.end()) return false;
  return !framing_ || HoldsVisiblePart(*entry->second.picture, *framing_);
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
      const double pace = PaceLocked();
      lock.unlock();
      const CTimeline::Outlook outlook =
          source_ ? source_(limits_.read_ahead) : CTimeline::Outlook{};
      std::optional<Framing> framing;
      if (framing_source_) framing = framing_source_();
      std::vector<CTimeline::TapePicture> plan = Plan(outlook, pace, framing);
      lock.lock();
      if (stop_) break;
      plan_ = std::move(plan);
      framing_ = framing;
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
  auto fail = [&] {
    std::lock_guard lock(mutex_);
    failed_[key] = SteadyNs();
    ++stats_.failed;
  };
  MaterialPicture material;
  if (!target.tape->MaterialAt(target.frame, &material)) return fail();

  std::vector<CTimeline::TapePicture> plan;
  std::optional<Framing> framing;
  {
    std::lock_guard lock(mutex_);
    // Material slower than the output shows one movie picture at several tape frames.
    for (const auto& [cached_key, entry] : cache_) {
      if (entry.tape == target.tape && entry.path == material.path &&
          entry.movie_frame == material.movie_frame &&
          (!framing_ || HoldsVisiblePart(*entry.picture, *framing_))) {
        InsertLocked(target, material.path, material.movie_frame, entry.picture, &dropped);
        return;
      }
    }
    plan = plan_;
    framing = framing_;
  }
  CMovieDecoder* decoder = DecoderFor(material.path);
  if (decoder == nullptr) return fail();

  // Other wanted pictures of the same movie that decoding may pass on its way.
  std::multimap<std::uint32_t, CTimeline::TapePicture> on_the_way;
  for (const CTimeline::TapePicture& picture : plan) {
    MaterialPicture other;
    if (picture.tape == target.tape && picture.frame != target.frame &&
        target.tape->MaterialAt(picture.frame, &other) && other.path == material.path) {
      on_the_way.emplace(other.movie_frame, picture);
    }
  }
  CMovieDecoder::Bystanders bystanders;
  bystanders.wants = [&](std::uint32_t n) { return on_the_way.count(n) != 0; };
  bystanders.take = [&](std::uint32_t n, std::shared_ptr<const Picture> picture) {
    std::lock_guard lock(mutex_);
    const auto [first, last] = on_the_way.equal_range(n);
    for (auto it = first; it != last; ++it) {
      InsertLocked(it->second, material.path, n, picture, &dropped);
    }
    on_the_way.erase(n);
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

CMovieDecoder* CTapeDecoder::DecoderFor(const std::string& path) {
  for (auto it = decoders_.begin(); it != decoders_.end(); ++it) {
    if (it->first == path) {
      decoders_.splice(decoders_.begin(), decoders_, it);
      return decoders_.front().second.get();
    }
  }
  auto decoder = std::make_unique<CMovieDecoder>(&stopping_);
  if (FAILED(decoder->Open(path))) return nullptr;
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
  it->second = Entry{at.tape, std::move(picture), path, movie_frame};
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
