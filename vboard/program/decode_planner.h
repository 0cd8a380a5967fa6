#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "vboard/program/decoder_limits.h"
#include "vboard/program/output_motion.h"
#include "vboard/program/placement.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {

// A tape frame as the tape decoder files its pictures: the tape and the frame.
using TapeFrame = std::pair<const CSuperClip*, std::int64_t>;
inline TapeFrame TapeFrameOf(const CTimeline::TapePicture& picture) {
  return TapeFrame{picture.tape.get(), picture.frame};
}

// What the picture store holds, as the planner asks it; the store answers under its lock.
class IHoldings {
 public:
  struct Converted {
    bool stand_in = false;  // the key frame before the tape frame, shown for it while winding
    bool whole = true;      // it holds every pixel the framing shows
  };
  virtual ~IHoldings() = default;
  // The converted picture of a tape frame, none when there is none.
  virtual std::optional<Converted> ConvertedAt(const TapeFrame& frame,
                                               const std::optional<Framing>& framing) const = 0;
  // Whether a picture kept as decoded shows the tape frame; usable: it holds every pixel the
  // framing shows.
  virtual bool KeptAt(const TapeFrame& frame) const = 0;
  virtual bool KeptUsableAt(const TapeFrame& frame,
                            const std::optional<Framing>& framing) const = 0;
  // When decoding the tape frame's picture, or a run that was to keep it, last failed.
  virtual std::optional<std::int64_t> FailedAt(const TapeFrame& frame) const = 0;
  virtual std::optional<std::int64_t> RunFailedAt(const TapeFrame& frame) const = 0;
  // The bytes kept as decoded, and those of the latest picture kept.
  virtual std::size_t KeptBytes() const = 0;
  virtual std::size_t KeptPictureBytes() const = 0;
  // The most tape frames any kept picture of tape lies from frame, on either side; 0 for none.
  virtual std::int64_t FurthestKept(const CSuperClip* tape, std::int64_t frame) const = 0;
};

// What the worker's latest look at the output found.
struct DecodeLook {
  std::vector<CTimeline::TapePicture> plan;  // the pictures wanted now, the most urgent first
  std::optional<Framing> framing;            // none: whole pictures are kept
  OutputMotion motion;                       // how the output moves
  bool held = false;  // nothing is queued after the output's picture: it stays there
  // Where the output stands or is about to stand: while the timeline prepares its queue (a
  // cue), the first queued picture, else the output's own. What lies near it goes last.
  CTimeline::TapePicture anchor;
  // Told to stay on the anchor (a cue, a still): not advancing, and nothing queued before it.
  bool standing = false;
};

// What the tape decoder decodes next and in what order, and which pictures make room first.
// Pure: what the output shows and how it moves, the framing, what the store holds and the time
// all come as arguments.
class CDecodePlanner {
 public:
  // Tape frames of one movie the motion will show, by movie frame.
  using Path = std::multimap<std::uint32_t, std::int64_t>;
  // Planned pictures of one movie, by movie frame.
  using OnTheWay = std::multimap<std::uint32_t, CTimeline::TapePicture>;
  // A failed picture or run is tried again after this long.
  static constexpr std::int64_t kRetryNs = 1'000'000'000;
  // Tape frames a run keeps at the most.
  static constexpr std::size_t kMaxPathPictures = 1024;

  explicit CDecodePlanner(const DecoderLimits& limits) : limits_(limits) {}

  // The look at the output: the motion the outlook commands (else the measured one), the plan.
  DecodeLook Look(const CTimeline::Outlook& outlook, const OutputMotion& measured,
                  const std::optional<Framing>& framing) const;
  // The pictures wanted now, the most urgent first: the output's, those queued after it and,
  // beyond those, on at pace; no more than the cache holds together.
  std::vector<CTimeline::TapePicture> Plan(const CTimeline::Outlook& outlook, double pace,
                                           const std::optional<Framing>& framing) const;

  // The store holds the tape frame's picture as the output needs it: a key frame stands in
  // only while the output winds and not where it comes to rest; it holds what the framing shows.
  static bool Ready(const DecodeLook& look, const IHoldings& holdings, const TapeFrame& frame);
  // The output will stand on this picture: its own picture, not a key frame.
  static bool Stays(const DecodeLook& look, const CTimeline::TapePicture& picture);
  // The most urgent planned picture that is not ready and did not fail lately.
  static std::optional<CTimeline::TapePicture> NextPicture(const DecodeLook& look,
                                                           const IHoldings& holdings,
                                                           std::int64_t now_ns);
  // A planned picture is neither ready nor kept as decoded, nor did it fail lately.
  // brought: tape frames of the output's tape a decoding in progress brings (they do not count,
  // nor does the read-ahead a run goes before: see RunGoesFirst).
  static bool PlanWaits(const DecodeLook& look, const IHoldings& holdings, std::int64_t now_ns,
                        const std::set<std::int64_t>& brought = {});
  // The most urgent planned picture that is not ready but kept as decoded, usable; none when a
  // more urgent one waits for decoding (not kept, not failed lately).
  static std::optional<CTimeline::TapePicture> NextToConvert(const DecodeLook& look,
                                                             const IHoldings& holdings,
                                                             std::int64_t now_ns);
  // Pictures on either side of the anchor made ready while the output stands on it, so that a
  // motion from there finds its first pictures in the store: those after it are decoded (the
  // decoder stands there: reading on costs a picture each), those before it converted where
  // they are kept as decoded.
  std::size_t AheadCount() const;
  // Pictures of tape's largest size (output-sized at the most) the cache holds together.
  std::size_t CacheRoom(const CSuperClip* tape, const std::optional<Framing>& framing) const;
  // The next of those not ready (after it: and not failed lately), once the anchor's own is
  // ready; none unless the output is told to stand, or while it winds.
  std::optional<CTimeline::TapePicture> NextAhead(const DecodeLook& look, const IHoldings& holdings,
                                                  std::int64_t now_ns) const;
  // Standing, a planned picture beyond the one after the anchor (a play from a cue is queued):
  // the nearest run back may go before it.
  static bool RunGoesFirst(const DecodeLook& look, const CTimeline::TapePicture& picture);
  // The next run to decode ahead of a backward motion (or of a still output, where a reverse
  // motion may start): a tape frame on the way back from the plan none of whose pictures is
  // there; none when there is nothing to gain (forwards, winding, intra-frame movies, a store
  // too full for it, a run that failed lately).
  std::optional<CTimeline::TapePicture> NextRun(const DecodeLook& look, const IHoldings& holdings,
                                                const std::set<std::string>& intra_paths,
                                                std::int64_t now_ns) const;
  // The tape frames before tape_frame (in tape order) a backward motion at pace shows, of the
  // movie at path, count of them at the most.
  static Path PathBefore(const CSuperClip& tape, std::int64_t tape_frame, const std::string& path,
                         double pace, std::size_t count);
  // Pictures of kept_picture_bytes the store of pictures kept as decoded holds.
  std::size_t KeptCapacity(std::size_t kept_picture_bytes) const;
  // The planned pictures of target's movie at path other than target: decoding may pass them.
  static OnTheWay PlannedOfMovie(const std::vector<CTimeline::TapePicture>& plan,
                                 const CTimeline::TapePicture& target, const std::string& path);
  // A decoding on its way to target after a new look at the output (a jog or shuttle queued
  // right after a cue): the planned pictures of its movie join on_the_way and, when the output
  // is told to move backwards from a picture before target, the path back from the last of
  // them (count pictures at the most) joins before.
  static void TakeAlong(const DecodeLook& look, const CTimeline::TapePicture& target,
                        const std::string& path, bool intra_only, std::size_t count,
                        OnTheWay* on_the_way, Path* before);
  // The tape frame that shows key_frame, the key frame at or before material (the movie
  // picture of tape_frame): back by the pictures between, at the output rate.
  static std::int64_t KeyFrameShownAt(const CSuperClip& tape, std::int64_t tape_frame,
                                      const MaterialPicture& material, std::uint32_t key_frame);

  // The picture the output stands on or is about to: the look's anchor, else the plan's first.
  static const CTimeline::TapePicture* AnchorOf(const DecodeLook& look);
  // Which converted picture goes first when the cache is full: the highest rank. The plan's
  // pictures in its order, then the tape's others by distance from the anchor, other tapes last.
  static std::size_t ConvertedRank(const DecodeLook& look, const TapeFrame& frame);
  // Which picture kept as decoded goes first: the highest rank. Other tapes; going backwards,
  // the pictures the output has passed; then by distance from the anchor (on a cue, the cued
  // picture: the pictures a motion from there needs stay, those of the old place go).
  static std::int64_t KeptRank(const DecodeLook& look, const TapeFrame& frame);

 private:
  const DecoderLimits limits_;
};

}  // namespace vxr
