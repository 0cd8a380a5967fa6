#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vboard/media/movie_decoder.h"
#include "vboard/media/picture_converter.h"
#include "vboard/program/output_motion.h"
#include "vboard/program/placement.h"
#include "vboard/server/board_config.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {

// How much the decoder may hold and how far it looks ahead.
struct DecoderLimits {
  // The whole budget in megabytes (MiB) and the read-ahead the defaults are made of: at 1080
  // about 16 converted pictures and 120 pictures of 4:2:0 material kept as decoded, which fits
  // a 4 GiB machine beside the deck.
  static constexpr std::size_t kDefaultMegabytes = 512;
  static constexpr std::size_t kDefaultReadAhead = 8;
  // The budget split: a quarter for converted pictures, the rest for pictures kept as decoded.
  static DecoderLimits ForBudget(std::size_t megabytes, std::size_t read_ahead);
  // These limits with the budget and read-ahead the board's settings give, where they give one.
  DecoderLimits WithBoardSettings(const BoardConfig& config) const;

  std::size_t max_pictures = 32;               // converted pictures kept at the most
  std::size_t max_bytes = 128u << 20;          // and their bytes at the most
  std::size_t max_kept_bytes = 384u << 20;     // bytes of pictures kept as decoded
  std::size_t read_ahead = kDefaultReadAhead;  // pictures converted ahead of the output's
  std::size_t max_open_movies = 4;             // movie files kept open
  int threads = 2;                             // decoding threads per movie
  // How often the worker looks at the output's queue when nothing wakes it (ticks, Nudge).
  int poll_ms = 200;
  // The monitor nudges the worker at every change a call makes to the timeline; off, the worker
  // learns of a cue only at the next tick or poll (tests make decoding lag with it).
  bool wake_on_changes = true;
};

// Decodes the pictures of tapes (super clips) on a worker thread, ahead of the board's output:
// the picture on the output, the pictures queued after it and, beyond those, further pictures
// in the direction and at the pace the output moves. The pictures are kept in a small cache,
// bounded in pictures and bytes; the pictures least likely to be shown next go first. Looking
// a picture up never waits for decoding.
// Backwards (and standing still) on material whose pictures depend on earlier ones, decoding a
// picture decodes the run from the key frame before it: the pictures of that run that the
// motion will show are kept as decoded (a second store, bounded in bytes), handed out backwards
// by converting them, and while they are handed out the run before them is decoded. Faster than
// kKeyFramePace tape frames a tick on such material (wind), each picture stands in for by the
// key frame at or before it; those are never the tick's right picture.
class CTapeDecoder {
 public:
  // The output's picture and the ones queued after it (at most the count given): the worker
  // asks this every poll and after every picture it decodes.
  using OutlookSource = std::function<CTimeline::Outlook(std::size_t max)>;
  // How the board frames material now: only the part of a picture it shows is converted and
  // kept. The worker asks this every round.
  using FramingSource = std::function<Framing()>;

  // What a lookup found: the picture asked for, else the nearest one of the same tape, else
  // nothing (picture null, frame -1).
  struct Found {
    std::shared_ptr<const Picture> picture;
    std::int64_t frame = -1;
    bool exact = false;
    // The picture is the key frame at or before the one asked for, shown for it while winding.
    bool key_frame = false;
  };
  struct Stats {
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

  // A failed picture is tried again after this long.
  static constexpr std::int64_t kRetryNs = 1'000'000'000;
  // From this pace on (tape frames a tick) material with key frames shows only those.
  static constexpr double kKeyFramePace = OutputMotion::kKeyFramePace;

  // Without a framing source whole pictures are kept.
  explicit CTapeDecoder(OutlookSource source, DecoderLimits limits = {},
                        FramingSource framing = nullptr);
  // Stops the worker: a decoding in progress gives up between two packets (or a read of the
  // file in progress gives up at once), so this takes milliseconds whatever the material.
  ~CTapeDecoder();
  CTapeDecoder(const CTapeDecoder&) = delete;
  CTapeDecoder& operator=(const CTapeDecoder&) = delete;

  // Any thread, never waits for decoding. With a framing, a picture that lacks part of what
  // the framing shows (cut for another window) is not exact.
  Found Lookup(const CSuperClip* tape, std::int64_t frame, const Framing* framing = nullptr) const;
  // The output showed frame of tape at a tick: measures the pace of the read-ahead where the
  // output's queue commands none, and wakes the worker. Any thread, never waits for decoding.
  void Seen(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame);
  // The output's queue changed: the worker looks at it at once. Any thread, never waits.
  void Nudge();
  // Waits until the worker has looked at the output afresh and has nothing left to decode;
  // false when timeout_ms passed first. For tests and the benchmark.
  bool WaitIdle(int timeout_ms);
  Stats stats() const;

 private:
  using Key = std::pair<const CSuperClip*, std::int64_t>;
  struct Entry {
    std::shared_ptr<CSuperClip> tape;
    std::shared_ptr<const Picture> picture;
    std::string path;
    std::uint32_t movie_frame = 0;
    std::int64_t stand_in = -1;  // >= 0: the picture is that tape frame's key frame (wind)
  };
  struct Kept {
    std::shared_ptr<CSuperClip> tape;
    std::shared_ptr<const CRawPicture> raw;
    std::string path;
    std::uint32_t movie_frame = 0;
  };
  // Tape frames of one movie the motion will show, by movie frame.
  using Path = std::multimap<std::uint32_t, std::int64_t>;

  void Run();
  // Looks at the output afresh (plan_, framing_, motion_): with mutex_ not held.
  void Refresh();
  // Converts the planned pictures that are kept as decoded; with mutex_ not held.
  void ConvertKept();
  // The next run to decode ahead of a backward motion: a planned-on tape frame none of whose
  // pictures is there; false when there is none. With mutex_ held.
  bool NextRunLocked(CTimeline::TapePicture* target) const;
  // With mutex_ held: a planned picture is neither converted nor kept (nor failed lately).
  bool PlanWaitsLocked() const;
  void DecodeRun(const CTimeline::TapePicture& target);
  // The tape frames before tape_frame (in tape order) a backward motion at pace shows, of the
  // same movie, as many as the store holds.
  Path PathBefore(const CSuperClip& tape, std::int64_t tape_frame, const std::string& path,
                  double pace) const;
  std::size_t KeptCapacityLocked() const;
  bool KeptUsableLocked(const Kept& kept) const;
  void KeepLocked(const CTimeline::TapePicture& at, const std::string& path,
                  std::uint32_t movie_frame, std::shared_ptr<const CRawPicture> raw,
                  std::vector<std::shared_ptr<const CRawPicture>>* dropped);
  void ShowKeyFrame(const CTimeline::TapePicture& target, const MaterialPicture& material,
                    CMovieDecoder* decoder);
  // The pictures wanted now, the most urgent first: no more than the cache holds together.
  std::vector<CTimeline::TapePicture> Plan(const CTimeline::Outlook& outlook, double pace,
                                           const std::optional<Framing>& framing) const;
  // With mutex_ held: whether the cache holds the picture as the framing shows it.
  bool CachedLocked(const Key& key) const;
  void NotePeakLocked();
  void DecodeOne(const CTimeline::TapePicture& target);
  CMovieDecoder* DecoderFor(const std::string& path);
  // With mutex_ held.
  void InsertLocked(const CTimeline::TapePicture& at, const std::string& path,
                    std::uint32_t movie_frame, std::shared_ptr<const Picture> picture,
                    std::vector<std::shared_ptr<const Picture>>* dropped);
  std::size_t PriorityLocked(const Key& key) const;

  const OutlookSource source_;
  const DecoderLimits limits_;
  const FramingSource framing_source_;

  std::atomic<bool> stopping_{false};  // the decoders give up: set once, before the join

  // Worker only.
  std::list<std::pair<std::string, std::unique_ptr<CMovieDecoder>>> decoders_;  // newest first
  CPictureConverter converter_;    // pictures kept as decoded to pictures
  std::int64_t refreshed_ns_ = 0;  // when the worker last looked at the output

  mutable std::mutex mutex_;      // guards everything below
  std::condition_variable wake_;  // the worker: something new to look at, or stop
  std::condition_variable idle_;  // WaitIdle: the worker finished a round
  bool stop_ = false;
  bool nudged_ = false;           // something changed since the worker last looked
  std::int64_t idle_rounds_ = 0;  // rounds that ended with nothing to decode
  std::map<Key, Entry> cache_;
  std::size_t cache_bytes_ = 0;
  std::map<Key, Kept> kept_;  // pictures kept as decoded, by the tape frame that shows them
  std::size_t kept_bytes_ = 0;
  std::size_t kept_picture_bytes_ = 0;        // the size of the latest picture kept
  std::map<Key, std::int64_t> failed_;        // pictures that failed, and when
  std::map<Key, std::int64_t> runs_failed_;   // runs that kept nothing, and when
  std::set<std::string> intra_paths_;         // movies whose every picture is a key frame
  std::vector<CTimeline::TapePicture> plan_;  // the latest plan, most urgent first
  std::optional<Framing> framing_;            // the latest framing
  bool held_ = false;              // nothing is queued after the output's picture: it stays there
  std::deque<std::int64_t> seen_;  // the output's latest frames, oldest first
  OutputMotion motion_;            // how the output moves, as the latest look found it
  const CSuperClip* seen_tape_ = nullptr;
  Stats stats_;

  std::thread worker_;  // runs Run; started last, joined first
};

}  // namespace vxr
