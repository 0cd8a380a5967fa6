#include "vboard/program/decode_planner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vxr {
namespace {

constexpr std::size_t kMinKeptBytes = 1u;  // a kept picture's size before any is known
constexpr std::size_t kRgb32Bytes = 4;     // a converted pixel
constexpr double kMovingPace = 0.5;        // tape frames a tick from which the output moves
// Standing, the pictures past the anchor decoded ahead: this share of the read-ahead.
constexpr std::size_t kAheadShare = 2;
// Standing, the frames before the output kept ready for a reverse motion's first ticks (shuttle
// at its usual speeds included).
constexpr std::size_t kStandingRunFrames = 8;

bool Same(const CTimeline::TapePicture& picture, const TapeFrame& frame) {
  return picture.tape.get() == frame.first && picture.frame == frame.second;
}

bool FailedLately(std::optional<std::int64_t> failed_ns, std::int64_t now_ns) {
  return failed_ns.has_value() && now_ns - *failed_ns < CDecodePlanner::kRetryNs;
}

}  // namespace

DecodeLook CDecodePlanner::Look(const CTimeline::Outlook& outlook, const OutputMotion& measured,
                                const std::optional<Framing>& framing) const {
  DecodeLook look;
  // What the output is told to show next sets the direction at once; the measured pace is for
  // what commands nothing.
  look.motion = OutputMotion::Read(outlook, measured);
  look.plan = Plan(outlook, look.motion.pace, framing);
  look.framing = framing;
  look.held = outlook.next.empty();
  const bool stays = outlook.advancing.has_value() && !*outlook.advancing;
  look.anchor =
      outlook.queue_to_come && !outlook.next.empty() ? outlook.next.front() : outlook.on_output;
  // A cue queues the pictures a play from there shows; a motion backwards queues others.
  look.standing = stays && std::all_of(outlook.next.begin(), outlook.next.end(),
                                       [&](const CTimeline::TapePicture& picture) {
                                         return picture.tape == look.anchor.tape &&
                                                picture.frame >= look.anchor.frame;
                                       });
  return look;
}

std::vector<CTimeline::TapePicture> CDecodePlanner::Plan(
    const CTimeline::Outlook& outlook, double pace, const std::optional<Framing>& framing) const {
  std::vector<CTimeline::TapePicture> plan;
  // As many pictures as the cache holds together, so that none of them pushes out another:
  // each is at most output-sized and at most the size of the tape's largest material.
  const std::size_t size =
      std::min(limits_.read_ahead + 1, CacheRoom(outlook.on_output.tape.get(), framing));
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
  if (plan.empty() || std::fabs(pace) < kMovingPace || plan.back().tape != outlook.on_output.tape) {
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

bool CDecodePlanner::Stays(const DecodeLook& look, const CTimeline::TapePicture& picture) {
  return look.held && !look.plan.empty() && look.plan.front().tape == picture.tape &&
         look.plan.front().frame == picture.frame;
}

bool CDecodePlanner::Ready(const DecodeLook& look, const IHoldings& holdings,
                           const TapeFrame& frame) {
  const std::optional<IHoldings::Converted> converted = holdings.ConvertedAt(frame, look.framing);
  if (!converted) return false;
  // A key frame stands in for its picture only while the output winds.
  if (converted->stand_in && (!look.motion.winding || (look.held && !look.plan.empty() &&
                                                       Same(look.plan.front(), frame)))) {
    return false;
  }
  return converted->whole;
}

std::optional<CTimeline::TapePicture> CDecodePlanner::NextPicture(const DecodeLook& look,
                                                                  const IHoldings& holdings,
                                                                  std::int64_t now_ns) {
  for (const CTimeline::TapePicture& picture : look.plan) {
    const TapeFrame frame = TapeFrameOf(picture);
    if (Ready(look, holdings, frame) || FailedLately(holdings.FailedAt(frame), now_ns)) continue;
    return picture;
  }
  return std::nullopt;
}

bool CDecodePlanner::PlanWaits(const DecodeLook& look, const IHoldings& holdings,
                               std::int64_t now_ns, const std::set<std::int64_t>& brought) {
  const CTimeline::TapePicture* anchor = AnchorOf(look);
  for (const CTimeline::TapePicture& picture : look.plan) {
    const TapeFrame frame = TapeFrameOf(picture);
    if (picture.tape == anchor->tape && brought.count(picture.frame) != 0) continue;
    // Standing on a cue, the run back goes before the read-ahead past the cued picture's next:
    // that read-ahead must not end the run it made way for.
    if (RunGoesFirst(look, picture)) continue;
    if (Ready(look, holdings, frame) || holdings.KeptAt(frame)) continue;
    if (FailedLately(holdings.FailedAt(frame), now_ns)) continue;
    return true;
  }
  return false;
}

std::optional<CTimeline::TapePicture> CDecodePlanner::NextToConvert(const DecodeLook& look,
                                                                    const IHoldings& holdings,
                                                                    std::int64_t now_ns) {
  for (const CTimeline::TapePicture& picture : look.plan) {
    const TapeFrame frame = TapeFrameOf(picture);
    if (Ready(look, holdings, frame)) continue;
    if (!holdings.KeptAt(frame)) {
      // It waits for decoding, and the output shows it before the rest: converting them first
      // would only make it late (a run going forward through a group brings the pictures a
      // reverse motion shows first last).
      if (!FailedLately(holdings.FailedAt(frame), now_ns)) return std::nullopt;
      continue;
    }
    if (!holdings.KeptUsableAt(frame, look.framing)) continue;
    return picture;
  }
  return std::nullopt;
}

std::size_t CDecodePlanner::CacheRoom(const CSuperClip* tape,
                                      const std::optional<Framing>& framing) const {
  const std::size_t pictures = std::max<std::size_t>(limits_.max_pictures, 1);
  if (tape == nullptr) return pictures;
  const int width = tape->MaxWidth(), height = tape->MaxHeight();
  const std::size_t bytes =
      framing ? framing->MaxPictureBytes(width, height)
              : static_cast<std::size_t>(std::max(width, 1)) * std::max(height, 1) * kRgb32Bytes;
  return std::clamp<std::size_t>(limits_.max_bytes / std::max<std::size_t>(bytes, 1), 1, pictures);
}

std::size_t CDecodePlanner::AheadCount() const {
  return std::max<std::size_t>(limits_.read_ahead / kAheadShare, 1);
}

std::optional<CTimeline::TapePicture> CDecodePlanner::NextAhead(const DecodeLook& look,
                                                                const IHoldings& holdings,
                                                                std::int64_t now_ns) const {
  const CTimeline::TapePicture& anchor = look.anchor;
  if (!look.standing || look.motion.winding || !anchor.tape || anchor.frame < 0) {
    return std::nullopt;
  }
  // The anchor's own picture comes first (it is in the plan).
  if (!Ready(look, holdings, TapeFrameOf(anchor))) return std::nullopt;
  // Only as many beside the plan as the cache holds with it: one it let go at once would count
  // as failed, and be left when a motion then plans it.
  const std::size_t room = CacheRoom(anchor.tape.get(), look.framing);
  std::size_t spare = room > look.plan.size() ? room - look.plan.size() : 0;
  auto fits = [&](std::int64_t frame) {
    if (std::any_of(look.plan.begin(), look.plan.end(), [&](const auto& planned) {
          return Same(planned, {anchor.tape.get(), frame});
        })) {
      return true;
    }
    if (spare == 0) return false;
    --spare;
    return true;
  };
  // After it: decoded, by reading on from the anchor.
  const std::int64_t frames = anchor.tape->OutputFrames();
  for (std::size_t i = 1; i <= AheadCount(); ++i) {
    const std::int64_t frame = anchor.frame + static_cast<std::int64_t>(i);
    if (frame >= frames || !fits(frame)) break;
    const TapeFrame key{anchor.tape.get(), frame};
    if (Ready(look, holdings, key) || FailedLately(holdings.FailedAt(key), now_ns)) continue;
    return CTimeline::TapePicture{anchor.tape, frame};
  }
  // Before it: only those kept as decoded, converted (a reverse motion's first steps then cost
  // nothing; the runs back bring the others).
  for (std::size_t i = 1; i <= AheadCount(); ++i) {
    const std::int64_t frame = anchor.frame - static_cast<std::int64_t>(i);
    if (frame < 0 || !fits(frame)) break;
    const TapeFrame key{anchor.tape.get(), frame};
    // One the cache let go at once (too small for it beside the plan) is not tried again soon.
    if (Ready(look, holdings, key) || !holdings.KeptUsableAt(key, look.framing) ||
        FailedLately(holdings.FailedAt(key), now_ns)) {
      continue;
    }
    return CTimeline::TapePicture{anchor.tape, frame};
  }
  return std::nullopt;
}

bool CDecodePlanner::RunGoesFirst(const DecodeLook& look, const CTimeline::TapePicture& picture) {
  return look.standing && !look.motion.winding && picture.tape == look.anchor.tape &&
         picture.frame > look.anchor.frame + 1;
}

std::optional<CTimeline::TapePicture> CDecodePlanner::NextRun(
    const DecodeLook& look, const IHoldings& holdings, const std::set<std::string>& intra_paths,
    std::int64_t now_ns) const {
  // Backwards, and standing still (a reverse motion may start): forwards, reading on decodes
  // every picture once anyway.
  // Still: told to stay (a cue), or, where nothing tells, on one frame for the whole pace
  // window. A play that follows a cue at once costs little: the run gives way as soon as the
  // output needs a picture it does not bring.
  const bool still = look.motion.still;
  const double pace = still ? -1.0 : look.motion.pace;
  if (pace > -kMovingPace || look.motion.winding || look.plan.empty()) return std::nullopt;
  // Standing on a cue the queue holds a play from it: the run is the one before the anchor.
  const CTimeline::TapePicture* anchor = AnchorOf(look);
  const CTimeline::TapePicture& last = look.standing ? *anchor : look.plan.back();
  if (!last.tape || last.tape != anchor->tape) return std::nullopt;
  // Standing still, only what a reverse motion shows in its first ticks: a run from further
  // back would take the decoder away from the output, and a forward motion started meanwhile
  // would find its next pictures a whole group of pictures away.
  const std::size_t capacity = KeptCapacity(holdings.KeptPictureBytes());
  const std::size_t count = still ? std::min(capacity / 2, kStandingRunFrames) : capacity;
  // With the store full, a picture further from the output than every kept one would make room
  // for nothing: it would go again at once.
  const std::int64_t output = anchor->frame;
  std::int64_t furthest = -1;
  if (holdings.KeptBytes() + holdings.KeptPictureBytes() >
      limits_.KeptRoom(holdings.KeptPictureBytes())) {
    furthest = holdings.FurthestKept(last.tape.get(), output);
  }
  double position = static_cast<double>(last.frame);
  for (std::size_t i = 0; i < count; ++i) {
    position += pace;
    const std::int64_t frame = std::llround(position);
    if (frame < 0 || (furthest >= 0 && output - frame >= furthest)) return std::nullopt;
    const TapeFrame key{last.tape.get(), frame};
    if (holdings.KeptAt(key) || Ready(look, holdings, key)) continue;
    // Each picture of an intra-frame movie is reached straight: nothing to gain.
    MaterialPicture material;
    if (!last.tape->MaterialAt(frame, &material) || intra_paths.count(material.path) != 0) {
      return std::nullopt;
    }
    if (FailedLately(holdings.RunFailedAt(key), now_ns)) return std::nullopt;
    return CTimeline::TapePicture{last.tape, frame};
  }
  return std::nullopt;
}

CDecodePlanner::Path CDecodePlanner::PathBefore(const CSuperClip& tape, std::int64_t tape_frame,
                                                const std::string& path, double pace,
                                                std::size_t count) {
  Path before;
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

std::size_t CDecodePlanner::KeptCapacity(std::size_t kept_picture_bytes) const {
  const std::size_t each = std::max(kept_picture_bytes, kMinKeptBytes);
  return std::min(limits_.KeptRoom(kept_picture_bytes) / each, kMaxPathPictures);
}

CDecodePlanner::OnTheWay CDecodePlanner::PlannedOfMovie(
    const std::vector<CTimeline::TapePicture>& plan, const CTimeline::TapePicture& target,
    const std::string& path) {
  OnTheWay on_the_way;
  for (const CTimeline::TapePicture& picture : plan) {
    MaterialPicture other;
    if (picture.tape == target.tape && picture.frame != target.frame &&
        target.tape->MaterialAt(picture.frame, &other) && other.path == path) {
      on_the_way.emplace(other.movie_frame, picture);
    }
  }
  return on_the_way;
}

void CDecodePlanner::TakeAlong(const DecodeLook& look, const CTimeline::TapePicture& target,
                               const std::string& path, bool intra_only, std::size_t count,
                               OnTheWay* on_the_way, Path* before) {
  std::int64_t anchor = -1;
  for (const CTimeline::TapePicture& next : look.plan) {
    MaterialPicture other;
    if (next.tape != target.tape || next.frame == target.frame ||
        !target.tape->MaterialAt(next.frame, &other) || other.path != path) {
      continue;
    }
    anchor = next.frame;
    const auto [first, last] = on_the_way->equal_range(other.movie_frame);
    if (std::none_of(first, last,
                     [&](const auto& known) { return known.second.frame == next.frame; })) {
      on_the_way->emplace(other.movie_frame, next);
    }
  }
  const double pace = look.motion.pace;
  if (intra_only || pace > -kMovingPace || anchor < 0 || anchor >= target.frame) return;
  for (const auto& step : PathBefore(*target.tape, anchor, path, pace, count)) {
    const auto [first, last] = before->equal_range(step.first);
    if (std::none_of(first, last, [&](const auto& known) { return known.second == step.second; })) {
      before->emplace(step.first, step.second);
    }
  }
}

std::int64_t CDecodePlanner::KeyFrameShownAt(const CSuperClip& tape, std::int64_t tape_frame,
                                             const MaterialPicture& material,
                                             std::uint32_t key_frame) {
  double movie_rate = 0.0;
  const std::vector<ClipEntry> clips = tape.Clips();
  if (material.clip < clips.size()) movie_rate = clips[material.clip].movie.FramesPerSecond();
  const double back =
      movie_rate > 0.0 ? (material.movie_frame - key_frame) * tape.OutputRate() / movie_rate : 0.0;
  return std::max<std::int64_t>(tape_frame - std::llround(back), 0);
}

const CTimeline::TapePicture* CDecodePlanner::AnchorOf(const DecodeLook& look) {
  if (look.anchor.tape || look.plan.empty()) return &look.anchor;
  return &look.plan.front();
}

std::size_t CDecodePlanner::ConvertedRank(const DecodeLook& look, const TapeFrame& frame) {
  const std::vector<CTimeline::TapePicture>& plan = look.plan;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (Same(plan[i], frame)) return i;
  }
  const CTimeline::TapePicture* anchor = AnchorOf(look);
  if (plan.empty() || anchor->tape.get() != frame.first) {
    return std::numeric_limits<std::size_t>::max();
  }
  return plan.size() + static_cast<std::size_t>(std::llabs(frame.second - anchor->frame));
}

std::int64_t CDecodePlanner::KeptRank(const DecodeLook& look, const TapeFrame& frame) {
  // Kept pictures lie before the output: only a backward motion has passed any of them.
  const CTimeline::TapePicture* anchor = AnchorOf(look);
  const CSuperClip* tape = anchor->tape.get();
  const std::int64_t output = anchor->tape ? anchor->frame : 0;
  const bool backwards = look.motion.pace < -kMovingPace;
  if (frame.first != tape) return std::numeric_limits<std::int64_t>::max();
  const std::int64_t from_output = frame.second - output;
  if (backwards && from_output > 0) {
    return std::numeric_limits<std::int64_t>::max() / 2 + from_output;
  }
  return from_output < 0 ? -from_output : from_output;
}

}  // namespace vxr
