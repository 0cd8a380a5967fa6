#include "netctl/control_session.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "netctl/control_text.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;
using Kind = ControlAction::Kind;

// The protocol's reply codes.
constexpr int kHelpCode = 201;
constexpr int kSlotInfoCode = 202;
constexpr int kDeviceInfoCode = 204;
constexpr int kClipsInfoCode = 205;
constexpr int kDiskListCode = 206;
constexpr int kTransportInfoCode = 208;
constexpr int kNotifyCode = 209;
constexpr int kRemoteInfoCode = 210;
constexpr int kConfigurationCode = 211;
constexpr int kClipsCountCode = 214;
constexpr int kConnectionInfoCode = 500;
constexpr int kSlotInfoAsyncCode = 502;
constexpr int kTransportInfoAsyncCode = 508;
constexpr int kRemoteInfoAsyncCode = 510;

constexpr int kPlaySpeedPercent = 100;
// The protocol's speeds run from -5000 to 5000 percent; fast wind and rewind are reported at
// the end of its older range, which every client accepts.
constexpr int kMaxSpeedPercent = 5000;
constexpr int kWindSpeedPercent = 1600;
constexpr double kPercent = 100.0;
constexpr int kMaxWatchdogSeconds = 3600;
constexpr int kLibrarySlot = 1;
constexpr int kMaxClipId = 1 << 24;

constexpr std::array<std::string_view, 12> kUnsupportedCommands = {
    "record",      "format",       "preview", "play on startup", "play option",  "clips add",
    "clips clear", "clips remove", "uptime",  "identify",        "slot unblock", "commands",
};

constexpr std::array<std::string_view, 21> kHelpLines = {
    "help or ?",
    "ping",
    "quit",
    "device info",
    "watchdog: period: {seconds}",
    "notify: {transport|slot|remote|configuration|display timecode|timeline position}: "
    "{true|false}",
    "transport info",
    "slot info[: slot id: 1]",
    "slot select: slot id: 1",
    "disk list[: slot id: 1]",
    "clips count",
    "clips get[: clip id: {n} count: {m} version: {1|2}]",
    "goto: {clip id: {n|+n|-n}|clip: {start|end}|timeline: {start|end}|timecode: {[+|-]tc}}",
    "play[: speed: {-5000..5000} loop: {true|false} single clip: {true|false}]",
    "stop",
    "jog: timecode: {[+|-]tc}",
    "shuttle: speed: {-5000..5000}",
    "remote[: enable: {true|false} override: {true|false}]",
    "playrange set: in: {tc} out: {tc}",
    "playrange clear",
    "configuration",
};

std::string Failure(int code) { return ReplyLine(code, FailureText(code)); }
std::string Ok() { return ReplyLine(kControlOk, "ok"); }
const char* BoolText(bool value) { return value ? "true" : "false"; }

ControlStep Reply(std::string text) {
  ControlStep step;
  step.reply = std::move(text);
  return step;
}

ControlStep Act(ControlAction action) {
  ControlStep step;
  step.actions.push_back(action);
  return step;
}

ControlAction Cue(std::uint32_t frame) {
  ControlAction action;
  action.kind = Kind::kCue;
  action.frame = frame;
  return action;
}

ControlAction Speed(Kind kind, double speed) {
  ControlAction action;
  action.kind = kind;
  action.speed = speed;
  return action;
}

// The tape frame a timecode names, absolute or "+"/"-" from the current frame; clamped to the
// tape. Nothing for text that is not a timecode.
std::optional<std::uint32_t> TargetFrame(std::string_view text, const ControlDeckState& state) {
  int sign = 0;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    sign = text.front() == '+' ? 1 : -1;
    text.remove_prefix(1);
  }
  const std::optional<std::uint32_t> frames = ParseTimecode(text, state.rate);
  if (!frames) return std::nullopt;
  const std::int64_t last = state.frame_count > 0 ? state.frame_count - 1 : 0;
  std::int64_t target = *frames;
  if (sign != 0) target = static_cast<std::int64_t>(state.frame) + sign * target;
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(target, 0, last));
}

bool IsSlot(const std::string* slot) {
  return slot == nullptr || ParseInteger(*slot, kLibrarySlot, kLibrarySlot).has_value();
}

Fields TransportFields(const ControlDeckState& state, const ControlDeckSettings& settings) {
  const ControlTransport transport = TransportFromStatus(state, settings.last_speed);
  const std::string timecode = FormatTimecode(state.frame, state.rate);
  return {{"status", transport.status},
          {"speed", std::to_string(transport.speed)},
          {"slot id", std::to_string(kLibrarySlot)},
          {"clip id", state.clip_id > 0 ? std::to_string(state.clip_id) : "none"},
          {"single clip", BoolText(settings.single_clip)},
          {"display timecode", timecode},
          {"timecode", timecode},
          {"video format", state.video_format},
          {"loop", BoolText(settings.loop)}};
}

Fields SlotFields(const ControlDeckState& state) {
  return {{"slot id", std::to_string(kLibrarySlot)},
          {"status", state.clip_count > 0 ? "mounted" : "empty"},
          {"volume name", "library"},
          {"recording time", "0"},
          {"video format", state.video_format}};
}

std::string RemoteBlock(int code, bool enabled, bool override_on) {
  return ReplyBlock(code, "remote info",
                    {{"enabled", BoolText(enabled)}, {"override", BoolText(override_on)}});
}

std::string ClipsReply(const ControlCommand& command, const std::vector<ControlClip>& clips,
                       int rate) {
  const std::string* version = command.Find("version");
  const std::string* first_text = command.Find("clip id");
  const std::string* count_text = command.Find("count");
  const auto first = first_text ? ParseInteger(*first_text, 1, kMaxClipId) : std::optional<int>(1);
  const auto count =
      count_text ? ParseInteger(*count_text, 0, kMaxClipId) : std::optional<int>(kMaxClipId);
  const auto layout = version ? ParseInteger(*version, 1, 2) : std::optional<int>(1);
  if (!first || !count || !layout) return Failure(kControlInvalidValue);
  std::vector<std::string> lines;
  for (const ControlClip& clip : clips) {
    if (clip.id < *first || clip.id - *first >= *count) continue;
    const std::string start = FormatTimecode(0, rate);
    const std::string duration = FormatTimecode(clip.frames, rate);
    const std::string id = std::to_string(clip.id) + ": ";
    if (*layout == 1) {
      lines.push_back(id + clip.name + " " + start + " " + duration);
    } else {
      const std::string out = FormatTimecode(clip.frames > 0 ? clip.frames - 1 : 0, rate);
      lines.push_back(id + start + " " + duration + " " + start + " " + out + " " + clip.name);
    }
  }
  return ReplyList(kClipsInfoCode, "clips info", {{"clip count", std::to_string(lines.size())}},
                   lines);
}

std::string DiskList(const std::vector<ControlClip>& clips, int rate) {
  std::vector<std::string> lines;
  for (const ControlClip& clip : clips) {
    lines.push_back(std::to_string(clip.id) + ": " + clip.name + " " + clip.file_format + " " +
                    clip.video_format + " " + FormatTimecode(clip.frames, rate));
  }
  return ReplyList(kDiskListCode, "disk list", {{"slot id", std::to_string(kLibrarySlot)}}, lines);
}

}  // namespace

bool RemoteEnabled(const ControlDeckState& state) {
  return state.has_player && !status::Local.In(state.status.data());
}

bool TapeIn(const ControlDeckState& state) {
  return state.has_player && (state.status[0] & status::kTapeOutMask) == 0 && state.frame_count > 0;
}

ControlTransport TransportFromStatus(const ControlDeckState& state, int last_speed) {
  const std::uint8_t* s = state.status.data();
  if (!TapeIn(state) || status::Eject.In(s)) return {"stopped", 0};
  const bool reverse = status::Reverse.In(s);
  const int moving = std::abs(last_speed) > 0 ? std::abs(last_speed) : kPlaySpeedPercent;
  const int signed_speed = reverse ? -moving : moving;
  if (status::Fast_FWD.In(s)) return {"forward", kWindSpeedPercent};
  if (status::Rewind.In(s)) return {"rewind", -kWindSpeedPercent};
  if (status::Jog.In(s)) return {"jog", status::Still.In(s) ? 0 : signed_speed};
  if (status::Shuttle.In(s) || status::TSO_Mode.In(s)) {
    return {"shuttle", status::Still.In(s) ? 0 : signed_speed};
  }
  if (status::Play.In(s) && !status::Still.In(s)) return {"play", kPlaySpeedPercent};
  return {"stopped", 0};
}

std::string CControlSession::Greeting() const {
  return ReplyBlock(kConnectionInfoCode, "connection info",
                    {{"protocol version", kProtocolVersion}, {"model", identity_.model}});
}

bool CControlSession::MayDrive(const ControlDeckState& state) const {
  return override_ || RemoteEnabled(state);
}

int CControlSession::Refusal(const ControlDeckState& state) const {
  if (!MayDrive(state)) return kControlRemoteDisabled;
  return TapeIn(state) ? 0 : kControlNoDisk;
}

ControlStep CControlSession::Handle(const ControlCommand& command, IDeckControl& deck,
                                    ControlDeckSettings& settings) {
  if (command.syntax_error) return Reply(Failure(kControlSyntaxError));
  const std::string& name = command.name;
  if (name == "ping") return Reply(Ok());
  if (name == "quit") {
    ControlStep step = Reply(Ok());
    step.close = true;
    return step;
  }
  if (name == "notify") return HandleNotify(command);
  if (name == "watchdog") return HandleWatchdog(command);
  const ControlDeckState state = deck.State();
  if (name == "remote") return HandleRemote(command, state);
  if (name == "goto") return HandleGoto(command, state);
  if (name == "play") return HandlePlay(command, state, settings);
  if (name == "jog") return HandleJog(command, state);
  if (name == "shuttle") return HandleShuttle(command, state, settings);
  if (name == "stop") {
    if (!MayDrive(state)) return Reply(Failure(kControlRemoteDisabled));
    settings.network_play = false;
    return Act(Speed(Kind::kStop, 0.0));
  }
  if (name == "playrange" || name == "playrange set" || name == "playrange clear") {
    return HandlePlayRange(command, state, settings);
  }
  if (std::find(kUnsupportedCommands.begin(), kUnsupportedCommands.end(), name) !=
      kUnsupportedCommands.end()) {
    return Reply(Failure(kControlUnsupported));
  }
  return HandleQuery(command, deck, settings);
}

ControlStep CControlSession::HandleQuery(const ControlCommand& command, IDeckControl& deck,
                                         const ControlDeckSettings& settings) const {
  const std::string& name = command.name;
  const ControlDeckState state = deck.State();
  if (name == "help" || name == "?") {
    std::vector<std::string> lines(kHelpLines.begin(), kHelpLines.end());
    return Reply(ReplyList(kHelpCode, "help", {}, lines));
  }
  if (name == "device info") {
    return Reply(ReplyBlock(kDeviceInfoCode, "device info",
                            {{"protocol version", kProtocolVersion},
                             {"model", identity_.model},
                             {"unique id", identity_.unique_id},
                             {"slot count", std::to_string(kLibrarySlot)}}));
  }
  if (name == "transport info")
    return Reply(
        ReplyBlock(kTransportInfoCode, "transport info", TransportFields(state, settings)));
  const std::string* slot = command.Find("slot id");
  if (name == "slot info" || name == "disk list" || name == "slot select") {
    if (!IsSlot(slot)) return Reply(Failure(kControlInvalidValue));
    if (name == "slot info")
      return Reply(ReplyBlock(kSlotInfoCode, "slot info", SlotFields(state)));
    if (name == "disk list") return Reply(DiskList(deck.Clips(), state.rate));
    if (command.Find("video format") != nullptr) return Reply(Failure(kControlUnsupported));
    return Reply(slot != nullptr ? Ok() : Failure(kControlSyntaxError));
  }
  if (name == "clips count") {
    return Reply(ReplyBlock(kClipsCountCode, "clips count",
                            {{"clip count", std::to_string(state.clip_count)}}));
  }
  if (name == "clips get") return Reply(ClipsReply(command, deck.Clips(), state.rate));
  if (name == "configuration") {
    if (!command.parameters.empty()) return Reply(Failure(kControlUnsupported));
    return Reply(
        ReplyBlock(kConfigurationCode, "configuration",
                   {{"audio input", "embedded"}, {"video input", "SDI"}, {"file format", "AVI"}}));
  }
  return Reply(Failure(kControlSyntaxError));
}

ControlStep CControlSession::HandleNotify(const ControlCommand& command) {
  if (command.parameters.empty()) {
    return Reply(ReplyBlock(kNotifyCode, "notify",
                            {{"transport", BoolText(notify_.transport)},
                             {"slot", BoolText(notify_.slot)},
                             {"remote", BoolText(notify_.remote)},
                             {"configuration", BoolText(notify_.configuration)},
                             {"display timecode", BoolText(notify_.display_timecode)},
                             {"timeline position", BoolText(notify_.timeline_position)}}));
  }
  Notify next = notify_;
  for (const auto& [key, value] : command.parameters) {
    const std::optional<bool> on = ParseBool(value);
    if (!on) return Reply(Failure(kControlInvalidValue));
    if (key == "transport")
      next.transport = *on;
    else if (key == "slot")
      next.slot = *on;
    else if (key == "remote")
      next.remote = *on;
    else if (key == "configuration")
      next.configuration = *on;
    else if (key == "display timecode")
      next.display_timecode = *on;
    else if (key == "timeline position")
      next.timeline_position = *on;
    else if (key != "dropped frames")
      return Reply(Failure(kControlUnsupportedParameter));
  }
  notify_ = next;
  return Reply(Ok());
}

ControlStep CControlSession::HandleWatchdog(const ControlCommand& command) {
  const std::string* period = command.Find("period");
  if (period == nullptr) return Reply(Failure(kControlSyntaxError));
  const std::optional<int> seconds = ParseInteger(*period, 0, kMaxWatchdogSeconds);
  if (!seconds) return Reply(Failure(kControlInvalidValue));
  watchdog_seconds_ = *seconds;
  return Reply(Ok());
}

ControlStep CControlSession::HandleRemote(const ControlCommand& command,
                                          const ControlDeckState& state) {
  if (command.parameters.empty()) {
    return Reply(RemoteBlock(kRemoteInfoCode, RemoteEnabled(state), override_));
  }
  const std::string* enable_text = command.Find("enable");
  const std::string* override_text = command.Find("override");
  const std::optional<bool> enable = enable_text ? ParseBool(*enable_text) : std::nullopt;
  const std::optional<bool> override_on = override_text ? ParseBool(*override_text) : std::nullopt;
  if ((enable_text && !enable) || (override_text && !override_on)) {
    return Reply(Failure(kControlInvalidValue));
  }
  if (!enable_text && !override_text) return Reply(Failure(kControlUnsupportedParameter));
  if (override_on) override_ = override_on.value_or(false);
  const bool wanted = enable.value_or(false);
  if (!enable_text || wanted == RemoteEnabled(state) || !state.has_player) return Reply(Ok());
  ControlAction action;
  action.kind = Kind::kSetRemote;
  action.enable = wanted;
  return Act(action);
}

ControlStep CControlSession::HandleGoto(const ControlCommand& command,
                                        const ControlDeckState& state) {
  if (command.parameters.empty()) return Reply(Failure(kControlSyntaxError));
  const auto& [key, value] = command.parameters.front();
  if (key == "clip id") {
    // A load from the library, like the panel's: not gated by remote control.
    int id = 0;
    if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
      const std::optional<int> step = ParseInteger(value, -kMaxClipId, kMaxClipId);
      if (!step || state.clip_count == 0)
        return Reply(Failure(step ? kControlNoDisk : kControlInvalidValue));
      id = std::clamp(std::max(state.clip_id, 1) + *step, 1, state.clip_count);
    } else {
      const std::optional<int> absolute = ParseInteger(value, 1, kMaxClipId);
      if (!absolute) return Reply(Failure(kControlInvalidValue));
      if (*absolute > state.clip_count) return Reply(Failure(kControlOutOfRange));
      id = *absolute;
    }
    ControlAction action;
    action.kind = Kind::kLoadClip;
    action.clip_id = id;
    return Act(action);
  }
  if (key == "slot id") return Reply(IsSlot(&value) ? Ok() : Failure(kControlInvalidValue));
  if (const int refused = Refusal(state); refused != 0) return Reply(Failure(refused));
  if (key == "clip" || key == "timeline") {
    if (value == "start") return Act(Cue(0));
    if (value == "end") return Act(Cue(state.frame_count - 1));
    return Reply(Failure(kControlInvalidValue));
  }
  if (key == "timecode") {
    const std::optional<std::uint32_t> frame = TargetFrame(value, state);
    return frame ? Act(Cue(*frame)) : Reply(Failure(kControlInvalidValue));
  }
  return Reply(Failure(kControlUnsupportedParameter));
}

ControlStep CControlSession::HandlePlay(const ControlCommand& command,
                                        const ControlDeckState& state,
                                        ControlDeckSettings& settings) {
  if (const int refused = Refusal(state); refused != 0) return Reply(Failure(refused));
  const std::string* speed_text = command.Find("speed");
  const std::string* loop_text = command.Find("loop");
  const std::string* single_text = command.Find("single clip");
  const std::optional<int> speed =
      speed_text ? ParseInteger(*speed_text, -kMaxSpeedPercent, kMaxSpeedPercent)
                 : std::optional<int>(kPlaySpeedPercent);
  const std::optional<bool> loop = loop_text ? ParseBool(*loop_text) : std::optional<bool>(false);
  const std::optional<bool> single =
      single_text ? ParseBool(*single_text) : std::optional<bool>(false);
  if (!speed || !loop || !single) return Reply(Failure(kControlInvalidValue));
  settings.loop = *loop;
  settings.single_clip = *single;
  settings.last_speed = *speed;
  settings.network_play = *speed > 0;
  settings.network_play_seen = false;
  ControlStep step;
  if (settings.range_set && *speed > 0 &&
      (state.frame < settings.range_in || state.frame >= settings.range_out)) {
    step.actions.push_back(Cue(settings.range_in));
  }
  // The deck plays at one speed; the others are its jog (up to play speed) and its shuttle.
  if (*speed == kPlaySpeedPercent) {
    step.actions.push_back(Speed(Kind::kPlay, 1.0));
  } else if (*speed == 0) {
    step.actions.push_back(Speed(Kind::kStop, 0.0));
  } else if (std::abs(*speed) < kPlaySpeedPercent) {
    step.actions.push_back(Speed(Kind::kJog, *speed / kPercent));
  } else {
    step.actions.push_back(Speed(Kind::kShuttle, *speed / kPercent));
  }
  return step;
}

ControlStep CControlSession::HandleJog(const ControlCommand& command,
                                       const ControlDeckState& state) {
  if (const int refused = Refusal(state); refused != 0) return Reply(Failure(refused));
  const std::string* timecode = command.Find("timecode");
  if (timecode == nullptr) return Reply(Failure(kControlSyntaxError));
  const std::optional<std::uint32_t> frame = TargetFrame(*timecode, state);
  return frame ? Act(Cue(*frame)) : Reply(Failure(kControlInvalidValue));
}

ControlStep CControlSession::HandleShuttle(const ControlCommand& command,
                                           const ControlDeckState& state,
                                           ControlDeckSettings& settings) {
  if (const int refused = Refusal(state); refused != 0) return Reply(Failure(refused));
  const std::string* speed_text = command.Find("speed");
  if (speed_text == nullptr) return Reply(Failure(kControlSyntaxError));
  const std::optional<int> speed = ParseInteger(*speed_text, -kMaxSpeedPercent, kMaxSpeedPercent);
  if (!speed) return Reply(Failure(kControlInvalidValue));
  settings.last_speed = *speed;
  settings.network_play = false;
  return Act(Speed(Kind::kShuttle, *speed / kPercent));
}

ControlStep CControlSession::HandlePlayRange(const ControlCommand& command,
                                             const ControlDeckState& state,
                                             ControlDeckSettings& settings) {
  if (command.name == "playrange") return Reply(Failure(kControlUnsupported));
  if (!MayDrive(state)) return Reply(Failure(kControlRemoteDisabled));
  if (command.name == "playrange clear") {
    settings.range_set = false;
    return Reply(Ok());
  }
  if (!TapeIn(state)) return Reply(Failure(kControlNoDisk));
  const std::string* in_text = command.Find("in");
  const std::string* out_text = command.Find("out");
  const std::string* clip_text = command.Find("clip id");
  if (clip_text != nullptr) {
    if (ParseInteger(*clip_text, state.clip_id, state.clip_id) == std::nullopt) {
      return Reply(Failure(kControlInvalidValue));
    }
    settings.range_set = true;
    settings.range_in = 0;
    settings.range_out = state.frame_count - 1;
    return Reply(Ok());
  }
  if (in_text == nullptr || out_text == nullptr) return Reply(Failure(kControlSyntaxError));
  const auto in = ParseTimecode(*in_text, state.rate);
  const auto out = ParseTimecode(*out_text, state.rate);
  if (!in || !out) return Reply(Failure(kControlInvalidValue));
  if (*in >= *out || *out >= state.frame_count) return Reply(Failure(kControlOutOfRange));
  settings.range_set = true;
  settings.range_in = *in;
  settings.range_out = *out;
  return Reply(Ok());
}

std::string CControlSession::Notifications(const ControlDeckState& before,
                                           const ControlDeckState& now,
                                           const ControlDeckSettings& settings) const {
  std::string out;
  const ControlTransport was = TransportFromStatus(before, settings.last_speed);
  const ControlTransport is = TransportFromStatus(now, settings.last_speed);
  const bool transport_changed = std::string_view(was.status) != is.status ||
                                 was.speed != is.speed || before.clip_id != now.clip_id;
  const bool timecode_changed = before.frame != now.frame;
  if ((notify_.transport && transport_changed) || (WantsTimecode() && timecode_changed)) {
    out += ReplyBlock(kTransportInfoAsyncCode, "transport info", TransportFields(now, settings));
  }
  const bool slot_changed =
      before.clips_generation != now.clips_generation || before.clip_count != now.clip_count;
  if (notify_.slot && slot_changed)
    out += ReplyBlock(kSlotInfoAsyncCode, "slot info", SlotFields(now));
  if (notify_.remote && RemoteEnabled(before) != RemoteEnabled(now)) {
    out += RemoteBlock(kRemoteInfoAsyncCode, RemoteEnabled(now), override_);
  }
  return out;
}

}  // namespace vxr
