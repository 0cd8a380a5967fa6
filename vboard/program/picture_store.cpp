#include "vboard/program/picture_store.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <vector>

namespace vxr {
namespace {

// Failures remembered at the most, beyond the cache's pictures: older ones are forgotten.
constexpr std::size_t kFailuresPerPicture = 4;
constexpr std::size_t kExtraFailures = 64;

}  // namespace

// The store's holdings for the planner, read with the store's lock held.
class CPictureStore::CHoldings final : public IHoldings {
 public:
  explicit CHoldings(const CPictureStore& store) : store_(store) {}

  std::optional<Converted> ConvertedAt(const TapeFrame& frame,
                                       const std::optional<Framing>& framing) const override {
    const auto entry = store_.cache_.find(frame);
    if (entry == store_.cache_.end()) return std::nullopt;
    return Converted{entry->second.stand_in >= 0,
                     !framing || HoldsVisiblePart(*entry->second.picture, *framing)};
  }
  bool KeptAt(const TapeFrame& frame) const override { return store_.kept_.count(frame) != 0; }
  bool KeptUsableAt(const TapeFrame& frame, const std::optional<Framing>& framing) const override {
    const auto kept = store_.kept_.find(frame);
    return kept != store_.kept_.end() && UsableLocked(kept->second, framing);
  }
  std::optional<std::int64_t> FailedAt(const TapeFrame& frame) const override {
    return Find(store_.failed_, frame);
  }
  std::optional<std::int64_t> RunFailedAt(const TapeFrame& frame) const override {
    return Find(store_.runs_failed_, frame);
  }
  std::size_t KeptBytes() const override { return store_.kept_bytes_; }
  std::size_t KeptPictureBytes() const override { return store_.kept_picture_bytes_; }
  std::int64_t FurthestKept(const CSuperClip* tape, std::int64_t frame) const override {
    std::int64_t furthest = 0;
    const auto first =
        store_.kept_.lower_bound(TapeFrame{tape, std::numeric_limits<std::int64_t>::min()});
    for (auto it = first; it != store_.kept_.end() && it->first.first == tape; ++it) {
      furthest = std::max<std::int64_t>(furthest, std::llabs(it->first.second - frame));
    }
    return furthest;
  }

 private:
  static std::optional<std::int64_t> Find(const std::map<TapeFrame, std::int64_t>& times,
                                          const TapeFrame& frame) {
    const auto found = times.find(frame);
    return found == times.end() ? std::nullopt : std::optional<std::int64_t>(found->second);
  }

  const CPictureStore& store_;
};

FoundPicture CPictureStore::Lookup(const CSuperClip* tape, std::int64_t frame,
                                   const Framing* framing) const {
  FoundPicture found;
  if (tape == nullptr || frame < 0) return found;
  std::lock_guard lock(mutex_);
  const TapeFrame key{tape, frame};
  auto after = cache_.lower_bound(key);
  if (after != cache_.end() && after->first == key) {
    if (after->second.stand_in >= 0) {
      // Left from a wind that has stopped, it is only the nearest picture.
      return FoundPicture{after->second.picture, after->second.stand_in, false, winding_};
    }
    const bool whole = framing == nullptr || HoldsVisiblePart(*after->second.picture, *framing);
    return FoundPicture{after->second.picture, frame, whole};
  }
  // The nearest picture of the same tape, on either side.
  auto consider = [&](std::map<TapeFrame, Entry>::const_iterator it) {
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

DecoderStats CPictureStore::Stats() const {
  std::lock_guard lock(mutex_);
  DecoderStats copy = stats_;
  copy.cached = cache_.size();
  copy.cached_bytes = cache_bytes_;
  copy.kept = kept_.size();
  copy.kept_bytes = kept_bytes_;
  return copy;
}

void CPictureStore::SetWinding(bool winding) {
  std::lock_guard lock(mutex_);
  winding_ = winding;
}

void CPictureStore::Inspect(const std::function<void(const IHoldings&)>& inspect) const {
  std::lock_guard lock(mutex_);
  inspect(CHoldings(*this));
}

void CPictureStore::Insert(const Source& source, std::shared_ptr<const Picture> picture,
                           const ConvertedRank& rank, std::int64_t now_ns, Dropped* dropped) {
  std::lock_guard lock(mutex_);
  InsertLocked(source, std::move(picture), -1, rank, now_ns, dropped);
}

void CPictureStore::InsertKeyFrame(const Source& source, std::shared_ptr<const Picture> picture,
                                   std::int64_t stand_in, const ConvertedRank& rank,
                                   std::int64_t now_ns, Dropped* dropped) {
  std::lock_guard lock(mutex_);
  InsertLocked(source, std::move(picture), stand_in, rank, now_ns, dropped);
  ++stats_.key_frames;
}

void CPictureStore::InsertLocked(const Source& source, std::shared_ptr<const Picture> picture,
                                 std::int64_t stand_in, const ConvertedRank& rank,
                                 std::int64_t now_ns, Dropped* dropped) {
  if (!picture) return;
  const TapeFrame key = TapeFrameOf(source.at);
  auto [it, inserted] = cache_.try_emplace(key);
  if (!inserted) {
    cache_bytes_ -= it->second.picture->Bytes();
    dropped->pictures.push_back(std::move(it->second.picture));
  }
  cache_bytes_ += picture->Bytes();
  it->second = Entry{source.at.tape, std::move(picture), source.path, source.movie_frame, stand_in};
  failed_.erase(key);
  ++stats_.decoded;
  // Over the limits: the pictures least likely to be shown soon go first. When that is the
  // new one and it ranks where planned ones do (the plan may ask for more than fits), it is not
  // tried again until the retry time has passed. Ranked beyond any plan, it is only let go:
  // the output's pace changed while it was decoded, and should the plan come back to it (a
  // shuttle's pace wobbles a frame either way) it is decoded again.
  while (!cache_.empty() &&
         (cache_.size() > limits_.max_pictures || cache_bytes_ > limits_.max_bytes)) {
    auto worst = cache_.begin();
    std::size_t worst_rank = 0;
    for (auto candidate = cache_.begin(); candidate != cache_.end(); ++candidate) {
      const std::size_t candidate_rank = rank(candidate->first);
      if (candidate_rank >= worst_rank) {
        worst = candidate;
        worst_rank = candidate_rank;
      }
    }
    if (worst->first == key && worst_rank <= limits_.read_ahead) failed_[key] = now_ns;
    cache_bytes_ -= worst->second.picture->Bytes();
    dropped->pictures.push_back(std::move(worst->second.picture));
    cache_.erase(worst);
    ++stats_.evicted;
  }
  if (failed_.size() > kFailuresPerPicture * limits_.max_pictures + kExtraFailures) failed_.clear();
  NotePeakLocked();
}

bool CPictureStore::Keep(const Source& source, std::shared_ptr<const CRawPicture> raw,
                         const KeptRank& rank, Dropped* dropped) {
  if (!raw) return false;
  std::lock_guard lock(mutex_);
  kept_picture_bytes_ = raw->Bytes();
  const TapeFrame key = TapeFrameOf(source.at);
  auto [it, inserted] = kept_.try_emplace(key);
  if (!inserted) {
    kept_bytes_ -= it->second.picture.raw->Bytes();
    dropped->raw.push_back(std::move(it->second.picture.raw));
  }
  kept_bytes_ += raw->Bytes();
  it->second = Kept{source.at.tape, KeptPicture{std::move(raw), source.path, source.movie_frame}};
  while (!kept_.empty() && kept_bytes_ > limits_.KeptRoom(kept_picture_bytes_)) {
    auto worst = kept_.begin();
    for (auto candidate = kept_.begin(); candidate != kept_.end(); ++candidate) {
      if (rank(candidate->first) >= rank(worst->first)) worst = candidate;
    }
    kept_bytes_ -= worst->second.picture.raw->Bytes();
    dropped->raw.push_back(std::move(worst->second.picture.raw));
    kept_.erase(worst);
  }
  NotePeakLocked();
  return kept_.count(key) != 0;
}

std::shared_ptr<const Picture> CPictureStore::ConvertedOf(
    const CSuperClip* tape, const std::string& path, std::uint32_t movie_frame,
    const std::optional<Framing>& framing) const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, entry] : cache_) {
    if (entry.tape.get() == tape && entry.path == path && entry.movie_frame == movie_frame &&
        entry.stand_in < 0 && (!framing || HoldsVisiblePart(*entry.picture, *framing))) {
      return entry.picture;
    }
  }
  return nullptr;
}

std::shared_ptr<const CRawPicture> CPictureStore::KeptOf(
    const CSuperClip* tape, const std::string& path, std::uint32_t movie_frame,
    const std::optional<Framing>& framing) const {
  std::lock_guard lock(mutex_);
  for (const auto& [key, kept] : kept_) {
    if (kept.tape.get() == tape && kept.picture.path == path &&
        kept.picture.movie_frame == movie_frame && UsableLocked(kept, framing)) {
      return kept.picture.raw;
    }
  }
  return nullptr;
}

std::optional<CPictureStore::KeptPicture> CPictureStore::KeptAt(const TapeFrame& frame) const {
  std::lock_guard lock(mutex_);
  const auto kept = kept_.find(frame);
  if (kept == kept_.end()) return std::nullopt;
  return kept->second.picture;
}

void CPictureStore::DropKept(const TapeFrame& frame) {
  std::shared_ptr<const CRawPicture> dropped;  // freed after the lock is let go
  std::lock_guard lock(mutex_);
  const auto kept = kept_.find(frame);
  if (kept == kept_.end()) return;
  kept_bytes_ -= kept->second.picture.raw->Bytes();
  dropped = std::move(kept->second.picture.raw);
  kept_.erase(kept);
}

void CPictureStore::Fail(const TapeFrame& frame, std::int64_t now_ns) {
  std::lock_guard lock(mutex_);
  failed_[frame] = now_ns;
  ++stats_.failed;
}

void CPictureStore::FailRun(const TapeFrame& frame, std::int64_t now_ns) {
  std::lock_guard lock(mutex_);
  runs_failed_[frame] = now_ns;
  if (runs_failed_.size() > CDecodePlanner::kMaxPathPictures) runs_failed_.clear();
}

std::size_t CPictureStore::KeptPictureBytes() const {
  std::lock_guard lock(mutex_);
  return kept_picture_bytes_;
}

void CPictureStore::NotePeakLocked() {
  stats_.peak_bytes = std::max(stats_.peak_bytes, cache_bytes_ + kept_bytes_);
}

bool CPictureStore::UsableLocked(const Kept& kept, const std::optional<Framing>& framing) {
  if (!framing) return true;
  const CRawPicture& raw = *kept.picture.raw;
  const Crop need = framing->VisiblePart(raw.material_width(), raw.material_height());
  const Crop& part = raw.part();
  if (need.width <= 0 || need.height <= 0) return true;
  return part.x <= need.x && part.y <= need.y && part.x + part.width >= need.x + need.width &&
         part.y + part.height >= need.y + need.height;
}

}  // namespace vxr
