#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vboard/media/movie_decoder.h"
#include "vboard/media/picture_converter.h"
#include "vboard/program/decode_planner.h"
#include "vboard/program/decoder_limits.h"
#include "vboard/program/placement.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {

// What a lookup found: the picture asked for, else the nearest one of the same tape, else
// nothing (picture null, frame -1).
struct FoundPicture {
  std::shared_ptr<const Picture> picture;
  std::int64_t frame = -1;
  bool exact = false;
  // The picture is the key frame at or before the one asked for, shown for it while winding.
  bool key_frame = false;
};

struct DecoderStats {
  std::int64_t decoded = 0;      // pictures put into the cache
  std::int64_t failed = 0;       // pictures that could not be decoded
  std::int64_t evicted = 0;      // pictures dropped from the cache
  std::size_t cached = 0;        // pictures in the cache now
  std::size_t cached_bytes = 0;  // and their bytes
  std::size_t kept = 0;          // pictures kept as decoded now
  std::size_t kept_bytes = 0;    // and their bytes
  std::size_t peak_bytes = 0;    // the most cached_bytes + kept_bytes have been
  std::int64_t key_frames = 0;   // key frames shown in place of pictures (wind)
  bool decoding = false;         // the worker is decoding a picture now
};

// The tape decoder's pictures: converted pictures (the cache, bounded in pictures and bytes),
// pictures kept as decoded (bounded in bytes), the pictures and runs that failed and when, and
// the peak of the bytes held. Only the worker changes it; Lookup and stats from any thread never
// wait for decoding: the store's lock is never held while a picture is decoded, converted or
// freed.
class CPictureStore {
 public:
  // Where a picture comes from: the tape frame it shows and the movie picture it is.
  struct Source {
    CTimeline::TapePicture at;
    std::string path;
    std::uint32_t movie_frame = 0;
  };
  // A picture kept as decoded and where it comes from.
  struct KeptPicture {
    std::shared_ptr<const CRawPicture> raw;
    std::string path;
    std::uint32_t movie_frame = 0;
  };
  // Pictures the store let go, for the caller to free when it suits it: freeing pictures that
  // hold a decoder's buffers gives memory back to the system, which can take long, so a
  // decoding frees what it pushed out once its own picture is in the store.
  struct Dropped {
    std::vector<std::shared_ptr<const Picture>> pictures;
    std::vector<std::shared_ptr<const CRawPicture>> raw;
  };
  // The order in which pictures go when a store is over its limits: the highest rank first,
  // the latest of equal ranks (in tape order) first. Converted pictures the output plans rank
  // below the plan's size, so at most read_ahead: a rank beyond it is never a planned one.
  using ConvertedRank = std::function<std::size_t(const TapeFrame&)>;
  using KeptRank = std::function<std::int64_t(const TapeFrame&)>;

  explicit CPictureStore(const DecoderLimits& limits) : limits_(limits) {}
  CPictureStore(const CPictureStore&) = delete;
  CPictureStore& operator=(const CPictureStore&) = delete;

  // Any thread. The picture of the tape frame, else the nearest one of the same tape. With a
  // framing, a picture that lacks part of what the framing shows (cut for another window) is
  // not exact.
  FoundPicture Lookup(const CSuperClip* tape, std::int64_t frame, const Framing* framing) const;
  DecoderStats Stats() const;
  // Whether the output winds now: a key frame left from a wind is only the nearest picture.
  void SetWinding(bool winding);
  // Calls inspect with what the store holds, under its lock: inspect must not call the store.
  void Inspect(const std::function<void(const IHoldings&)>& inspect) const;

  // Puts a converted picture in for its tape frame. Over the limits the highest ranks go (into
  // *dropped); when that is the new picture and it ranks within the read-ahead, it counts as
  // failed at now_ns (tried again after the retry time).
  void Insert(const Source& source, std::shared_ptr<const Picture> picture,
              const ConvertedRank& rank, std::int64_t now_ns, Dropped* dropped);
  // The same for the key frame shown for the tape frame while winding, counted in key_frames:
  // stand_in is the tape frame that shows the key frame itself, -1 when that is source.at.
  void InsertKeyFrame(const Source& source, std::shared_ptr<const Picture> picture,
                      std::int64_t stand_in, const ConvertedRank& rank, std::int64_t now_ns,
                      Dropped* dropped);
  // Keeps a decoded picture for its tape frame; over the budget the highest ranks go (into
  // *dropped). Whether it stayed.
  bool Keep(const Source& source, std::shared_ptr<const CRawPicture> raw, const KeptRank& rank,
            Dropped* dropped);
  // A converted picture of the movie picture, put in for another tape frame of the tape (its
  // own, not a stand-in, whole for the framing): material slower than the output.
  std::shared_ptr<const Picture> ConvertedOf(const CSuperClip* tape, const std::string& path,
                                             std::uint32_t movie_frame,
                                             const std::optional<Framing>& framing) const;
  // The same among the pictures kept as decoded, usable for the framing.
  std::shared_ptr<const CRawPicture> KeptOf(const CSuperClip* tape, const std::string& path,
                                            std::uint32_t movie_frame,
                                            const std::optional<Framing>& framing) const;
  std::optional<KeptPicture> KeptAt(const TapeFrame& frame) const;
  void DropKept(const TapeFrame& frame);
  // The picture of the tape frame failed at now_ns, or a run to keep it kept nothing.
  void Fail(const TapeFrame& frame, std::int64_t now_ns);
  void FailRun(const TapeFrame& frame, std::int64_t now_ns);
  std::size_t KeptPictureBytes() const;

 private:
  struct Entry {
    std::shared_ptr<CSuperClip> tape;
    std::shared_ptr<const Picture> picture;
    std::string path;
    std::uint32_t movie_frame = 0;
    std::int64_t stand_in = -1;  // >= 0: the picture is that tape frame's key frame (wind)
  };
  struct Kept {
    std::shared_ptr<CSuperClip> tape;
    KeptPicture picture;
  };
  class CHoldings;

  void InsertLocked(const Source& source, std::shared_ptr<const Picture> picture,
                    std::int64_t stand_in, const ConvertedRank& rank, std::int64_t now_ns,
                    Dropped* dropped);
  void NotePeakLocked();
  static bool UsableLocked(const Kept& kept, const std::optional<Framing>& framing);

  const DecoderLimits limits_;

  mutable std::mutex mutex_;  // guards everything below
  std::map<TapeFrame, Entry> cache_;
  std::size_t cache_bytes_ = 0;
  std::map<TapeFrame, Kept> kept_;  // pictures kept as decoded, by the tape frame that shows them
  std::size_t kept_bytes_ = 0;
  std::size_t kept_picture_bytes_ = 0;             // the size of the latest picture kept
  std::map<TapeFrame, std::int64_t> failed_;       // pictures that failed, and when
  std::map<TapeFrame, std::int64_t> runs_failed_;  // runs that kept nothing, and when
  bool winding_ = false;
  DecoderStats stats_;
};

}  // namespace vxr
