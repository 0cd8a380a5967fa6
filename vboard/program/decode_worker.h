#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "vboard/media/movie_decoder.h"
#include "vboard/media/picture_converter.h"
#include "vboard/program/decode_planner.h"
#include "vboard/program/decoder_limits.h"
#include "vboard/program/picture_store.h"
#include "vboard/program/placement.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {

// The tape decoder's worker: one thread ("board decoder") with the open movie decoders and the
// converter. It runs rounds: it looks at the output afresh, asks the planner what to decode,
// decodes it and puts the pictures into the store; with nothing to decode it sleeps until a
// tick, a nudge or the poll time.
class CDecodeWorker {
 public:
  using OutlookSource = std::function<CTimeline::Outlook(std::size_t max)>;
  using FramingSource = std::function<Framing()>;
  // A test seam: called on the worker between two packets of every decoding, with the flag
  // that turns true (and is notified) when the worker is being stopped.
  using PacketHook = std::function<void(const std::atomic<bool>& stopping)>;

  // Starts the thread; store must outlive the worker.
  CDecodeWorker(CPictureStore& store, OutlookSource source, const DecoderLimits& limits,
                FramingSource framing, PacketHook packet_hook = nullptr);
  // Stops the thread: a decoding in progress gives up between two packets (a read of the file
  // in progress at once).
  ~CDecodeWorker();
  CDecodeWorker(const CDecodeWorker&) = delete;
  CDecodeWorker& operator=(const CDecodeWorker&) = delete;

  // Any thread, never waits for decoding.
  void Seen(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame);
  void Nudge();
  bool WaitIdle(int timeout_ms);
  bool decoding() const;
  // Whether the movie at path is known to have a key frame at every picture (reached straight,
  // with no run).
  bool IntraOnly(const std::string& path) const;

 private:
  void Run();
  // One round; false once the worker stops.
  bool Round();
  // Looks at the output afresh (look_, refreshed_ns_).
  void Refresh();
  // Converts the planned pictures that are kept as decoded.
  void ConvertKept();
  // Whether a planned picture waits that is neither there nor among brought (tape frames of the
  // output's tape the decoding in progress brings).
  bool PlanWaits(const std::set<std::int64_t>& brought) const;
  void DecodeOne(const CTimeline::TapePicture& target);
  // Makes the picture from what the store holds (the same movie picture converted, or kept as
  // decoded); false when it holds nothing for it.
  bool FromStore(const CTimeline::TapePicture& target, const MaterialPicture& material);
  // Decodes the picture, taking the planned pictures it passes and keeping the path back.
  void DecodePassing(const CTimeline::TapePicture& target, const MaterialPicture& material,
                     CMovieDecoder* decoder);
  void ShowKeyFrame(const CTimeline::TapePicture& target, const MaterialPicture& material,
                    CMovieDecoder* decoder);
  // Decodes the run to target's picture ahead of a backward motion, keeping its pictures.
  void DecodeRun(const CTimeline::TapePicture& target);
  // Whether target's picture was kept; *given_up when the output needed a picture first.
  bool KeepRun(const CTimeline::TapePicture& target, const MaterialPicture& material,
               CMovieDecoder* decoder, bool* given_up);
  CMovieDecoder* DecoderFor(const std::string& path);
  // Into the store. What it lets go is freed at once: a decoding through a long group takes many
  // pictures along, and holding each one let go until its end would hold them beside the budget
  // (a kept one also holds one of the library's picture buffers).
  void Put(const CPictureStore::Source& source, std::shared_ptr<const Picture> picture);
  bool KeepFor(const CPictureStore::Source& source, std::shared_ptr<const CRawPicture> raw);
  // Keeps the pictures of target's movie at path that the path back shows (before must outlive
  // the decoding), as decoding passes them.
  std::function<void(std::uint32_t, std::shared_ptr<const CRawPicture>)> KeepAlong(
      const CDecodePlanner::Path& before, const CTimeline::TapePicture& target,
      const std::string& path);
  void Fail(const CTimeline::TapePicture& target);
  std::size_t KeptCapacity() const;

  CPictureStore& store_;
  const OutlookSource source_;
  const DecoderLimits limits_;
  const FramingSource framing_source_;
  const PacketHook packet_hook_;
  const CDecodePlanner planner_;
  // The store's orders of eviction, by the latest look.
  const CPictureStore::ConvertedRank converted_rank_;
  const CPictureStore::KeptRank kept_rank_;

  std::atomic<bool> stopping_{false};  // the decoders give up: set once, before the join

  // Worker only.
  std::list<std::pair<std::string, std::unique_ptr<CMovieDecoder>>> decoders_;  // newest first
  CPictureConverter converter_;          // pictures kept as decoded to pictures
  DecodeLook look_;                      // the latest look at the output
  std::int64_t refreshed_ns_ = 0;        // when the worker last looked at the output
  TapeFrame run_first_at_{nullptr, -1};  // the anchor whose run back went before its read-ahead
  bool worked_ = false;                  // it decoded since the allocator last gave memory back

  mutable std::mutex mutex_;      // guards everything below
  std::condition_variable wake_;  // the worker: something new to look at, or stop
  std::condition_variable idle_;  // WaitIdle: the worker finished a round
  bool stop_ = false;
  bool nudged_ = false;            // something changed since the worker last looked
  std::int64_t idle_rounds_ = 0;   // rounds that ended with nothing to decode
  std::deque<std::int64_t> seen_;  // the output's latest frames, oldest first
  const CSuperClip* seen_tape_ = nullptr;
  bool decoding_ = false;  // the worker is decoding a picture now
  // Movies whose every picture is a key frame: the worker alone writes it, so it reads it
  // without the lock.
  std::set<std::string> intra_paths_;

  std::thread worker_;  // runs Run; started last, joined first
};

}  // namespace vxr
