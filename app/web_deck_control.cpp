#include "app/web_deck_control.h"

#include <QMetaObject>
#include <filesystem>

#include "protocol/status_bits.h"
#include "protocol/timecode.h"
#include "sinks/thumbnail/thumbnail_output.h"

namespace vxr {
namespace {

constexpr int kOk = 200;
constexpr int kNotFound = 404;
constexpr int kConflict = 409;
constexpr int kFailed = 500;
// The histogram's bounds for the serial replies, in seconds.
constexpr double kReplyBounds[] = {0.00005, 0.0001, 0.0002, 0.0003, 0.0005,
                                   0.001,   0.002,  0.005,  0.01,   0.05};
constexpr double kNanosecondsPerSecond = 1e9;

// The web page's own thumbnail sink, while the program runs it.
std::shared_ptr<const CThumbnailOutput> PageThumbnail(const BoardWithOutputs& board) {
  if (!board.outputs || !board.outputs->page_thumbnail) return nullptr;
  return board.outputs->page_thumbnail->Get();
}

WebResult FromControlCode(int code) {
  switch (code) {
    case kControlOk:
      return {kOk, "done"};
    case kControlOutOfRange:
      return {kNotFound, "no tape with that id in the library"};
    case kControlNoDisk:
      return {kConflict, "no tape in"};
    default:
      return {kFailed, "the deck could not do it (see the log)"};
  }
}

bool TapeIn(const std::uint8_t* status) { return (status[0] & status::kTapeOutMask) == 0; }

}  // namespace

CWebDeckControl::CWebDeckControl(CVtrDeck& deck, CNetworkControl& control,
                                 const CTapeLibrary* library, const CLogRing& log,
                                 BoardSource board)
    : deck_(deck),
      control_(control),
      library_(library),
      log_(log),
      board_(std::move(board)),
      context_(new QObject) {}

CWebDeckControl::~CWebDeckControl() = default;

std::vector<WebOutputFigures> CWebDeckControl::Outputs() const {
  std::vector<WebOutputFigures> outputs;
  const std::shared_ptr<BoardWithOutputs> board = board_ ? board_() : nullptr;
  if (!board || !board->program) return outputs;
  const std::shared_ptr<const CThumbnailOutput> thumbnail = PageThumbnail(*board);
  for (const auto& sink : board->program->Sinks()) {
    // The page's own thumbnail is not an output of the deck.
    if (thumbnail && sink.get() == thumbnail.get()) continue;
    const ProgramSinkStats stats = sink->Stats();
    outputs.push_back({sink->Name(), stats.sent, stats.dropped, stats.failures, stats.callers});
  }
  return outputs;
}

WebThumbnail CWebDeckControl::Thumbnail() {
  WebThumbnail thumbnail;
  const std::shared_ptr<BoardWithOutputs> board = board_ ? board_() : nullptr;
  if (!board || !board->program) return thumbnail;
  const std::shared_ptr<const CThumbnailOutput> output = PageThumbnail(*board);
  if (!output) return thumbnail;
  const ThumbnailPicture picture = output->Picture();
  const ThumbnailMeters meters = output->Meters();
  thumbnail.made = true;
  thumbnail.sequence = picture.sequence;
  thumbnail.jpeg = picture.jpeg;
  thumbnail.timecode = picture.timecode;
  thumbnail.meter_sequence = meters.sequence;
  thumbnail.peaks_dbfs = meters.peaks_dbfs;
  return thumbnail;
}

WebDeckState CWebDeckControl::State() {
  const ControlDeckState control = control_.State();
  WebDeckState state;
  state.has_player = control.has_player;
  state.status = control.status;
  state.frame = control.frame;
  state.frame_count = control.frame_count;
  state.rate = control.rate;
  state.tape_id = control.clip_id;
  if (control.frame_count > 0) {
    std::lock_guard lock(mutex_);
    state.tape_name = tape_name_;
  }
  state.outputs = Outputs();
  return state;
}

std::vector<WebTape> CWebDeckControl::Library() {
  std::vector<WebTape> tapes;
  for (const ControlClip& clip : control_.Clips()) {
    tapes.push_back({clip.id, clip.name, clip.frames, clip.video_format, std::string()});
  }
  if (library_ != nullptr) {
    for (const LibraryTape& tape : library_->All()) {
      if (!tape.playable) tapes.push_back({0, tape.name, 0, std::string(), tape.problem});
    }
  }
  return tapes;
}

WebMetrics CWebDeckControl::Metrics() {
  WebMetrics metrics;
  std::uint8_t status[kStatusBlockSize] = {};
  std::uint32_t frame = 0;
  deck_.ReadLive(status, &frame);
  metrics.tape_loaded = status[0] != status::kNoPlayerByte0 && TapeIn(status);
  metrics.remote = !status::Local.In(status);
  const CLatencyRecord& replies = deck_.ControlPortService().ReplyTimes();
  for (const double bound : kReplyBounds) {
    const auto ns =
        std::chrono::nanoseconds(static_cast<std::int64_t>(bound * kNanosecondsPerSecond));
    metrics.reply_buckets.push_back({bound, replies.CountAtMost(ns)});
  }
  metrics.reply_count = replies.Count();
  metrics.reply_sum_seconds = static_cast<double>(replies.Total().count()) / kNanosecondsPerSecond;
  metrics.frames_answered = metrics.reply_count;
  metrics.frames_dropped = deck_.ControlPortService().DroppedFrames();
  metrics.outputs = Outputs();
  const std::shared_ptr<BoardWithOutputs> board = board_ ? board_() : nullptr;
  if (board && board->monitor) {
    const CBoardMonitor::Counts counts = board->monitor->counts();
    metrics.ticks_right = counts.right;
    metrics.ticks_missed = counts.missed;
    metrics.ticks_key = counts.key;
    metrics.ticks_late = counts.late;
    const DecoderStats decoder = board->monitor->decoder_stats();
    metrics.decoder_bytes = static_cast<std::int64_t>(decoder.cached_bytes + decoder.kept_bytes);
    metrics.decoder_peak_bytes = static_cast<std::int64_t>(decoder.peak_bytes);
  }
  if (board && board->program) metrics.sound_underruns = board->program->counts().sound_underruns;
  return metrics;
}

void CWebDeckControl::SetCurrentTape(const std::string& path) {
  std::lock_guard lock(mutex_);
  tape_name_ = std::filesystem::path(path).filename().string();
}

std::vector<std::string> CWebDeckControl::LogLines() { return log_.Lines(); }

void CWebDeckControl::Submit(const WebAction& action, std::function<void(WebResult)> done) {
  using Kind = WebAction::Kind;
  if (action.kind == Kind::kLoad || action.kind == Kind::kSetRemote) {
    ControlAction control;
    control.kind = action.kind == Kind::kLoad ? ControlAction::Kind::kLoadClip
                                              : ControlAction::Kind::kSetRemote;
    control.clip_id = action.tape_id;
    control.enable = action.remote;
    control_.Submit(control, [done = std::move(done)](int code) { done(FromControlCode(code)); });
    return;
  }
  QMetaObject::invokeMethod(
      context_.get(), [this, action, done = std::move(done)] { done(Execute(action)); },
      Qt::QueuedConnection);
}

WebResult CWebDeckControl::Execute(const WebAction& action) {
  using Kind = WebAction::Kind;
  std::uint8_t status[kStatusBlockSize] = {};
  std::uint32_t frame = 0;
  deck_.ReadLive(status, &frame);
  if (status[0] == status::kNoPlayerByte0) return {kConflict, "the deck has no player"};
  if (action.kind == Kind::kEject) {
    if (!TapeIn(status)) return {kConflict, "no tape in"};
    return deck_.PanelEject() == 0 ? WebResult{kOk, "ejecting"}
                                   : WebResult{kFailed, "eject failed"};
  }
  // The transport answers the panel only while the deck is local, as the panel's buttons.
  if (!status::Local.In(status)) {
    return {kConflict, "the deck is under remote control: take it local first"};
  }
  if (!TapeIn(status)) return {kConflict, "no tape in"};
  // The panel's buttons read the status copy: brought up to date with the switch just made.
  deck_.RefreshStatus(1, nullptr, nullptr);
  HRESULT result = E_FAIL;
  Timecode timecode;
  switch (action.kind) {
    case Kind::kPlay:
      result = deck_.PanelPlay();
      break;
    case Kind::kStop:
      result = deck_.PanelStop();
      break;
    case Kind::kRewind:
      result = deck_.PanelRewind();
      break;
    case Kind::kFastForward:
      result = deck_.PanelFastFwd();
      break;
    case Kind::kJog:
      result = deck_.Drive(TransportOp::kJog, action.speed, timecode);
      break;
    case Kind::kShuttle:
      result = deck_.Drive(TransportOp::kShuttle, action.speed, timecode);
      break;
    case Kind::kCue:
      timecode.FromFrames(action.frame, static_cast<std::uint32_t>(TimecodeRate.load()));
      result = deck_.Drive(TransportOp::kCueUp, 0.0, timecode);
      break;
    default:
      return {kFailed, "not a transport command"};
  }
  return result == 0 ? WebResult{kOk, "done"} : WebResult{kConflict, "the deck refused it"};
}

}  // namespace vxr
