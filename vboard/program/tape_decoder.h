#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "vboard/program/decode_worker.h"
#include "vboard/program/decoder_limits.h"
#include "vboard/program/output_motion.h"
#include "vboard/program/picture_store.h"
#include "vboard/program/placement.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {

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
// In parts: CDecodePlanner chooses what to decode, CPictureStore holds the pictures, and
// CDecodeWorker decodes on its thread.
class CTapeDecoder {
 public:
  // The output's picture and the ones queued after it (at most the count given): the worker
  // asks this every poll and after every picture it decodes.
  using OutlookSource = CDecodeWorker::OutlookSource;
  // How the board frames material now: only the part of a picture it shows is converted and
  // kept. The worker asks this every round.
  using FramingSource = CDecodeWorker::FramingSource;
  using PacketHook = CDecodeWorker::PacketHook;
  using Found = FoundPicture;
  using Stats = DecoderStats;

  // A failed picture is tried again after this long.
  static constexpr std::int64_t kRetryNs = CDecodePlanner::kRetryNs;
  // From this pace on (tape frames a tick) material with key frames shows only those.
  static constexpr double kKeyFramePace = OutputMotion::kKeyFramePace;

  // Without a framing source whole pictures are kept. packet_hook: a test seam of the worker's
  // decodings (see CDecodeWorker).
  explicit CTapeDecoder(OutlookSource source, DecoderLimits limits = {},
                        FramingSource framing = nullptr, PacketHook packet_hook = nullptr);
  // Stops the worker: a decoding in progress gives up between two packets (or a read of the
  // file in progress gives up at once), so this takes milliseconds whatever the material.
  ~CTapeDecoder() = default;
  CTapeDecoder(const CTapeDecoder&) = delete;
  CTapeDecoder& operator=(const CTapeDecoder&) = delete;

  // Any thread, never waits for decoding. With a framing, a picture that lacks part of what
  // the framing shows (cut for another window) is not exact.
  Found Lookup(const CSuperClip* tape, std::int64_t frame, const Framing* framing = nullptr) const {
    return store_.Lookup(tape, frame, framing);
  }
  // Whether the frame's picture is decoded: converted (exact), or kept as decoded for the
  // framing; a picture of intra-frame material counts, as it needs no run. Any thread, never
  // waits for decoding.
  bool Decoded(const CSuperClip* tape, std::int64_t frame, const Framing& framing) const;
  // The output showed frame of tape at a tick: measures the pace of the read-ahead where the
  // output's queue commands none, and wakes the worker. Any thread, never waits for decoding.
  void Seen(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame) {
    worker_.Seen(tape, frame);
  }
  // The output's queue changed: the worker looks at it at once. Any thread, never waits.
  void Nudge() { worker_.Nudge(); }
  // Waits until the worker has looked at the output afresh and has nothing left to decode;
  // false when timeout_ms passed first. For tests and the benchmark.
  bool WaitIdle(int timeout_ms) { return worker_.WaitIdle(timeout_ms); }
  Stats stats() const;

 private:
  CPictureStore store_;
  CDecodeWorker worker_;  // started last, stopped first
};

}  // namespace vxr
