#include "vboard/program/decode_worker.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <chrono>
#include <exception>
#include <new>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "vboard/media/pixel_buffers.h"

namespace vxr {
namespace {

// While a picture or run is decoded, the worker looks at the output at most this often.
constexpr std::int64_t kRefreshNs = 5'000'000;

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Only the part of a picture the framing shows is converted and kept.
CMovieDecoder::CropRule CropFor(const std::optional<Framing>& framing) {
  if (!framing) return nullptr;
  return [framing = *framing](int width, int height) { return framing.VisiblePart(width, height); };
}

// A decoding that runs out of memory is a failed picture, not a stopped worker.
template <typename Decode>
HRESULT Guarded(const Decode& decode) {
  try {
    return decode();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// The allocator keeps the pictures' freed blocks for reuse, spread over its arenas (every
// thread that frees pictures has one): a spell of decoding leaves tens of megabytes held that
// the next spell, on other threads, does not reuse.
void GiveBackFreedMemory() {
  CPixelBuffers::Release();
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace

CDecodeWorker::CDecodeWorker(CPictureStore& store, OutlookSource source,
                             const DecoderLimits& limits, FramingSource framing,
                             PacketHook packet_hook)
    : store_(store),
      source_(std::move(source)),
      limits_(limits),
      framing_source_(std::move(framing)),
      packet_hook_(std::move(packet_hook)),
      planner_(limits),
      converted_rank_(
          [this](const TapeFrame& frame) { return CDecodePlanner::ConvertedRank(look_, frame); }),
      kept_rank_(
          [this](const TapeFrame& frame) { return CDecodePlanner::KeptRank(look_, frame); }) {
  worker_ = std::thread([this] { Run(); });
}

CDecodeWorker::~CDecodeWorker() {
  stopping_ = true;
  stopping_.notify_all();  // a packet hook that waits for the stop
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  idle_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void CDecodeWorker::Seen(const std::shared_ptr<CSuperClip>& tape, std::int64_t frame) {
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

void CDecodeWorker::Nudge() {
  {
    std::lock_guard lock(mutex_);
    nudged_ = true;
  }
  wake_.notify_one();
}

bool CDecodeWorker::WaitIdle(int timeout_ms) {
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

bool CDecodeWorker::decoding() const {
  std::lock_guard lock(mutex_);
  return decoding_;
}

bool CDecodeWorker::IntraOnly(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return intra_paths_.count(path) != 0;
}

void CDecodeWorker::Run() {
  SetCurrentThreadName("board decoder");
  SetCurrentThreadPriority(ThreadPriority::kCodec, "Board decoder");
  try {
    while (Round()) {
    }
  } catch (const std::exception& error) {
    DebugOutput("Err vboard", std::string("picture decoder stopped: ") + error.what());
  } catch (...) {
    DebugOutput("Err vboard", "picture decoder stopped by an unknown failure");
  }
}

bool CDecodeWorker::Round() {
  if (stopping_) return false;
  Refresh();
  if (stopping_) return false;
  std::optional<CTimeline::TapePicture> picture, run;
  store_.Inspect([&](const IHoldings& holdings) {
    const std::int64_t now = SteadyNs();
    // The output's pictures; standing, the next few after it while the decoder is still there
    // (a forward motion from a cue then starts from the store, and reading on costs a picture
    // each); then the runs before it.
    // Standing, once its next picture is in, the nearest run back goes before the rest of the
    // read-ahead: a reverse motion started at once needs it within a few ticks, a forward one
    // has its next picture and reads on.
    picture = CDecodePlanner::NextPicture(look_, holdings, now);
    if (picture && CDecodePlanner::RunGoesFirst(look_, *picture) &&
        TapeFrameOf(look_.anchor) != run_first_at_) {
      run = planner_.NextRun(look_, holdings, intra_paths_, now);
      if (run) picture.reset();
    }
    if (!picture && !run) picture = planner_.NextAhead(look_, holdings, now);
    if (!picture && !run) run = planner_.NextRun(look_, holdings, intra_paths_, now);
  });
  if (run && look_.standing) run_first_at_ = TapeFrameOf(look_.anchor);
  if (picture || run) {
    worked_ = true;
    {
      std::lock_guard lock(mutex_);
      decoding_ = true;
    }
    picture ? DecodeOne(*picture) : DecodeRun(*run);
    std::lock_guard lock(mutex_);
    decoding_ = false;
    return !stop_;
  }
  if (worked_ && look_.motion.still) {
    // The output stands (a cue, a still) and nothing is left to decode after a spell of work:
    // what the spell freed goes back to the system now, before the next motion asks for memory
    // anew. Not between the ticks of a motion: that would cost a millisecond or two a tick and
    // the pages would be faulted in again at once.
    worked_ = false;
    GiveBackFreedMemory();
  }
  std::unique_lock lock(mutex_);
  if (stop_) return false;
  ++idle_rounds_;
  idle_.notify_all();
  // Nothing to do: sleep until a tick, a change of the queue or a stop.
  wake_.wait_for(lock, std::chrono::milliseconds(limits_.poll_ms),
                 [this] { return stop_ || nudged_; });
  nudged_ = false;
  return !stop_;
}

void CDecodeWorker::Refresh() {
  OutputMotion measured;
  {
    std::lock_guard lock(mutex_);
    measured = OutputMotion::Measured(seen_);
  }
  const CTimeline::Outlook outlook = source_ ? source_(limits_.read_ahead) : CTimeline::Outlook{};
  std::optional<Framing> framing;
  if (framing_source_) framing = framing_source_();
  look_ = planner_.Look(outlook, measured, framing);
  store_.SetWinding(look_.motion.winding);
  refreshed_ns_ = SteadyNs();
}

void CDecodeWorker::ConvertKept() {
  Refresh();
  for (;;) {
    std::optional<CTimeline::TapePicture> at;
    store_.Inspect([&](const IHoldings& holdings) {
      at = CDecodePlanner::NextToConvert(look_, holdings, SteadyNs());
    });
    if (!at) return;
    const std::optional<CPictureStore::KeptPicture> kept = store_.KeptAt(TapeFrameOf(*at));
    if (!kept) return;
    std::shared_ptr<const Picture> picture = converter_.Convert(*kept->raw);
    if (!picture) return store_.DropKept(TapeFrameOf(*at));
    Put(CPictureStore::Source{*at, kept->path, kept->movie_frame}, std::move(picture));
  }
}

bool CDecodeWorker::PlanWaits(const std::set<std::int64_t>& brought) const {
  bool waits = false;
  store_.Inspect([&](const IHoldings& holdings) {
    waits = CDecodePlanner::PlanWaits(look_, holdings, SteadyNs(), brought);
  });
  return waits;
}

void CDecodeWorker::DecodeOne(const CTimeline::TapePicture& target) {
  MaterialPicture material;
  if (!target.tape->MaterialAt(target.frame, &material)) return Fail(target);
  if (FromStore(target, material)) return;
  CMovieDecoder* decoder = DecoderFor(material.path);
  if (decoder == nullptr) return Fail(target);
  // Winding, each tape frame shows the key frame at or before it, save where the output stays.
  if (look_.motion.winding && !CDecodePlanner::Stays(look_, target) && !decoder->IntraOnly()) {
    return ShowKeyFrame(target, material, decoder);
  }
  DecodePassing(target, material, decoder);
}

bool CDecodeWorker::FromStore(const CTimeline::TapePicture& target,
                              const MaterialPicture& material) {
  const CPictureStore::Source source{target, material.path, material.movie_frame};
  // Material slower than the output shows one movie picture at several tape frames.
  if (std::shared_ptr<const Picture> same = store_.ConvertedOf(
          target.tape.get(), material.path, material.movie_frame, look_.framing)) {
    Put(source, std::move(same));
    return true;
  }
  // Decoded already on a run: converting is all that is left.
  const std::shared_ptr<const CRawPicture> kept =
      store_.KeptOf(target.tape.get(), material.path, material.movie_frame, look_.framing);
  if (!kept) return false;
  std::shared_ptr<const Picture> picture = converter_.Convert(*kept);
  if (!picture) {
    Fail(target);
  } else {
    Put(source, std::move(picture));
  }
  return true;
}

void CDecodeWorker::DecodePassing(const CTimeline::TapePicture& target,
                                  const MaterialPicture& material, CMovieDecoder* decoder) {
  // The framing of this look holds for the whole decoding.
  const CMovieDecoder::CropRule crop = CropFor(look_.framing);
  // Other wanted pictures of the same movie that decoding may pass on its way.
  CDecodePlanner::OnTheWay on_the_way =
      CDecodePlanner::PlannedOfMovie(look_.plan, target, material.path);
  // The pictures before this one that a backward motion would show are kept as decoded: the run
  // from the key frame is decoded once. (Going forward they are the first to make room.)
  CDecodePlanner::Path before =
      decoder->IntraOnly() ? CDecodePlanner::Path{}
                           : CDecodePlanner::PathBefore(*target.tape, target.frame, material.path,
                                                        look_.motion.pace, KeptCapacity());
  CMovieDecoder::Bystanders bystanders;
  bystanders.wants = [&](std::uint32_t n) {
    // The output may be told to move meanwhile (a jog or shuttle right after a cue): what it
    // then needs is converted, and its queued pictures and the path back are taken on the way.
    if (SteadyNs() - refreshed_ns_ >= kRefreshNs) {
      ConvertKept();
      CDecodePlanner::TakeAlong(look_, target, material.path, decoder->IntraOnly(), KeptCapacity(),
                                &on_the_way, &before);
    }
    // Going backwards, what lies before the target is shown after it: it is kept as decoded and
    // converted once the target is in, not on the way at the target's cost.
    if (look_.motion.pace < 0.0 && before.count(n) != 0) return CMovieDecoder::Want::kRaw;
    if (on_the_way.count(n) != 0) return CMovieDecoder::Want::kPicture;
    return before.count(n) != 0 ? CMovieDecoder::Want::kRaw : CMovieDecoder::Want::kNo;
  };
  bystanders.take = [&](std::uint32_t n, std::shared_ptr<const Picture> picture) {
    const auto [first, last] = on_the_way.equal_range(n);
    for (auto it = first; it != last; ++it) Put({it->second, material.path, n}, picture);
    on_the_way.erase(n);
  };
  bystanders.keep = KeepAlong(before, target, material.path);
  std::shared_ptr<const Picture> picture;
  const HRESULT result =
      Guarded([&] { return decoder->Decode(material.movie_frame, &picture, &bystanders, &crop); });
  if (FAILED(result) || !picture) return Fail(target);
  Put({target, material.path, material.movie_frame}, std::move(picture));
}

void CDecodeWorker::ShowKeyFrame(const CTimeline::TapePicture& target,
                                 const MaterialPicture& material, CMovieDecoder* decoder) {
  const CMovieDecoder::CropRule crop = CropFor(look_.framing);
  std::shared_ptr<const Picture> picture;
  std::uint32_t key_frame = 0;
  const HRESULT result = Guarded(
      [&] { return decoder->DecodeKeyBefore(material.movie_frame, &picture, &key_frame, &crop); });
  if (FAILED(result) || !picture) return Fail(target);
  // Its own picture when the key frame is the one asked for.
  const std::int64_t stand_in =
      key_frame == material.movie_frame
          ? -1
          : CDecodePlanner::KeyFrameShownAt(*target.tape, target.frame, material, key_frame);
  CPictureStore::Dropped dropped;
  store_.InsertKeyFrame({target, material.path, key_frame}, std::move(picture), stand_in,
                        converted_rank_, SteadyNs(), &dropped);
}

void CDecodeWorker::DecodeRun(const CTimeline::TapePicture& target) {
  MaterialPicture material;
  CMovieDecoder* decoder =
      target.tape->MaterialAt(target.frame, &material) ? DecoderFor(material.path) : nullptr;
  bool kept = false;
  if (decoder != nullptr && !decoder->IntraOnly()) {
    bool given_up = false;
    kept = KeepRun(target, material, decoder, &given_up);
    if (given_up) return;  // tried again once the output's pictures are in hand
  }
  // Not kept (no room before the pictures nearer the output, or no picture): not again soon.
  if (!kept) store_.FailRun(TapeFrameOf(target), SteadyNs());
}

bool CDecodeWorker::KeepRun(const CTimeline::TapePicture& target, const MaterialPicture& material,
                            CMovieDecoder* decoder, bool* given_up) {
  const CMovieDecoder::CropRule crop = CropFor(look_.framing);
  const CDecodePlanner::Path before = CDecodePlanner::PathBefore(
      *target.tape, target.frame, material.path, look_.motion.pace, KeptCapacity());
  // What this run brings: a motion that starts meanwhile (a reverse jog the moment a cue
  // completes) and needs only these lets it go on.
  std::set<std::int64_t> brought{target.frame};
  for (const auto& step : before) brought.insert(step.second);
  CMovieDecoder::Bystanders bystanders;
  bystanders.wants = [&](std::uint32_t n) {
    // The output goes on meanwhile: what it needs next is converted between two pictures,
    // and a picture it needs that this run does not bring ends the run.
    if (SteadyNs() - refreshed_ns_ >= kRefreshNs) {
      ConvertKept();
      if (PlanWaits(brought)) {
        *given_up = true;
        return CMovieDecoder::Want::kGiveUp;
      }
    }
    return before.count(n) != 0 ? CMovieDecoder::Want::kRaw : CMovieDecoder::Want::kNo;
  };
  bystanders.keep = KeepAlong(before, target, material.path);
  std::shared_ptr<const CRawPicture> raw;
  const HRESULT result =
      Guarded([&] { return decoder->DecodeRaw(material.movie_frame, &raw, &bystanders, &crop); });
  return SUCCEEDED(result) && raw &&
         KeepFor({target, material.path, material.movie_frame}, std::move(raw));
}

CMovieDecoder* CDecodeWorker::DecoderFor(const std::string& path) {
  for (auto it = decoders_.begin(); it != decoders_.end(); ++it) {
    if (it->first == path) {
      decoders_.splice(decoders_.begin(), decoders_, it);
      return decoders_.front().second.get();
    }
  }
  auto decoder = std::make_unique<CMovieDecoder>(&stopping_, limits_.threads);
  if (packet_hook_) decoder->SetPacketHook([this] { packet_hook_(stopping_); });
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

void CDecodeWorker::Put(const CPictureStore::Source& source,
                        std::shared_ptr<const Picture> picture) {
  CPictureStore::Dropped dropped;  // freed here, outside the store's lock
  store_.Insert(source, std::move(picture), converted_rank_, SteadyNs(), &dropped);
}

std::function<void(std::uint32_t, std::shared_ptr<const CRawPicture>)> CDecodeWorker::KeepAlong(
    const CDecodePlanner::Path& before, const CTimeline::TapePicture& target,
    const std::string& path) {
  return [this, &before, target, path](std::uint32_t n, std::shared_ptr<const CRawPicture> raw) {
    const auto [first, last] = before.equal_range(n);
    for (auto it = first; it != last; ++it) {
      KeepFor({CTimeline::TapePicture{target.tape, it->second}, path, n}, raw);
    }
  };
}

bool CDecodeWorker::KeepFor(const CPictureStore::Source& source,
                            std::shared_ptr<const CRawPicture> raw) {
  CPictureStore::Dropped dropped;  // freed here, outside the store's lock
  return store_.Keep(source, std::move(raw), kept_rank_, &dropped);
}

void CDecodeWorker::Fail(const CTimeline::TapePicture& target) {
  store_.Fail(TapeFrameOf(target), SteadyNs());
}

std::size_t CDecodeWorker::KeptCapacity() const {
  return planner_.KeptCapacity(store_.KeptPictureBytes());
}

}  // namespace vxr
