#include "web/web_json.h"

#include <boost/json.hpp>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>

#include "protocol/status_bits.h"
#include "protocol/timecode_text.h"

namespace vxr {
namespace {

namespace json = boost::json;

constexpr double kMaxShuttleSpeed = 50.0;
constexpr double kMeterSteps = 10.0;  // meter readings per decibel

json::object LampsObject(const WebLamps& lamps) {
  return json::object{
      {"stop", lamps.stop},        {"play", lamps.play},       {"rew", lamps.rewind},
      {"ff", lamps.fast_forward},  {"shuttle", lamps.shuttle}, {"jog", lamps.jog},
      {"servo", lamps.servo_lock}, {"still", lamps.still},     {"reverse", lamps.reverse},
      {"forward", lamps.forward},  {"eject", lamps.eject}};
}

json::array OutputsArray(const std::vector<WebOutputFigures>& outputs) {
  json::array array;
  for (const WebOutputFigures& output : outputs) {
    json::object object{{"name", output.name},
                        {"sent", output.sent},
                        {"dropped", output.dropped},
                        {"failures", output.failures}};
    // Only outputs that take callers have a count; the others leave the page's cell empty.
    if (output.callers >= 0) object["callers"] = output.callers;
    array.push_back(std::move(object));
  }
  return array;
}

// The body as a JSON object; an empty body is an empty object.
bool BodyObject(std::string_view body, json::object* object) {
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    *object = json::object();
    return true;
  }
  boost::system::error_code error;
  json::value value = json::parse(body, error);
  if (error || !value.is_object()) return false;
  *object = std::move(value.as_object());
  return true;
}

bool NumberField(const json::object& object, std::string_view key, double* value) {
  const json::value* field = object.if_contains(key);
  if (field == nullptr || !field->is_number()) return false;
  *value = field->to_number<double>();
  return true;
}

std::string LabelValue(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      escaped.push_back('\\');
      escaped.push_back(c);
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

void Family(std::ostringstream& out, std::string_view name, std::string_view type,
            std::string_view help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

// A histogram family: the cumulative count at each bound, then +Inf, the sum and the count.
void Histogram(std::ostringstream& out, std::string_view name, std::string_view help,
               const std::vector<WebMetrics::Bucket>& buckets, std::int64_t count, double sum) {
  Family(out, name, "histogram", help);
  for (const WebMetrics::Bucket& bucket : buckets) {
    out << name << "_bucket{le=\"" << bucket.upper_seconds << "\"} " << bucket.count << '\n';
  }
  out << name << "_bucket{le=\"+Inf\"} " << count << '\n';
  out << name << "_sum " << sum << '\n';
  out << name << "_count " << count << '\n';
}

}  // namespace

WebLamps LampsOf(const std::uint8_t s[16]) {
  using namespace status;
  WebLamps lamps;
  lamps.stop = Stop.In(s);
  lamps.play = Play.In(s);
  lamps.rewind = Rewind.In(s);
  lamps.fast_forward = Fast_FWD.In(s);
  lamps.shuttle = Shuttle.In(s) || TSO_Mode.In(s);
  lamps.jog = Jog.In(s);
  lamps.servo_lock = Servo_Lock.In(s);
  lamps.still = Still.In(s);
  lamps.reverse = Reverse.In(s);
  lamps.eject = Eject.In(s);
  const bool tape_out = (s[0] & kTapeOutMask) != 0;
  const bool moving = lamps.jog || lamps.shuttle;
  lamps.forward =
      !tape_out && !lamps.still && !lamps.reverse && (lamps.play || lamps.fast_forward || moving);
  return lamps;
}

std::string StateJson(const WebDeckState& state) {
  const std::uint8_t* s = state.status.data();
  const bool tape_in = state.has_player && (s[0] & status::kTapeOutMask) == 0;
  const bool local = status::Local.In(s);
  json::object tape{{"in", tape_in}};
  if (tape_in) {
    tape["id"] = state.tape_id;
    tape["name"] = state.tape_name;
    tape["frames"] = state.frame_count;
    tape["length"] = FormatTimecode(state.frame_count, state.rate);
  }
  const json::object document{{"player", state.has_player},
                              {"tape", std::move(tape)},
                              {"frame", state.frame},
                              {"timecode", FormatTimecode(state.frame, state.rate)},
                              {"rate", state.rate},
                              {"control", local ? "LOCAL" : "REMOTE"},
                              {"lamps", LampsObject(LampsOf(s))},
                              {"outputs", OutputsArray(state.outputs)}};
  return json::serialize(document);
}

std::string LibraryJson(const std::vector<WebTape>& tapes) {
  json::array offered;
  json::array unplayable;
  for (const WebTape& tape : tapes) {
    if (tape.id > 0) {
      offered.push_back(json::object{
          {"id", tape.id}, {"name", tape.name}, {"frames", tape.frames}, {"format", tape.format}});
    } else {
      unplayable.push_back(json::object{{"name", tape.name}, {"reason", tape.problem}});
    }
  }
  return json::serialize(
      json::object{{"tapes", std::move(offered)}, {"unplayable", std::move(unplayable)}});
}

std::string LogJson(const std::vector<std::string>& lines) {
  json::array array;
  for (const std::string& line : lines) array.push_back(json::string(line));
  return json::serialize(json::object{{"lines", std::move(array)}});
}

std::string ResultJson(const WebResult& result) {
  return json::serialize(json::object{{"ok", result.status == 200}, {"message", result.message}});
}

std::string ErrorJson(std::string_view message) {
  return json::serialize(json::object{{"ok", false}, {"message", message}});
}

std::string SessionJson(bool token_needed, bool authorized) {
  return json::serialize(json::object{{"token_needed", token_needed}, {"authorized", authorized}});
}

std::string ThumbnailJson(const WebThumbnail& thumbnail) {
  json::array peaks;
  for (const double peak : thumbnail.peaks_dbfs) {
    // A tenth of a decibel is finer than a meter shows.
    peaks.push_back(std::round(peak * kMeterSteps) / kMeterSteps);
  }
  return json::serialize(json::object{{"made", thumbnail.made},
                                      {"sequence", thumbnail.sequence},
                                      {"timecode", thumbnail.timecode},
                                      {"meters", thumbnail.meter_sequence},
                                      {"peaks_dbfs", std::move(peaks)}});
}

bool ParseAction(std::string_view path, std::string_view body, int rate, WebAction* action,
                 std::string* error) {
  json::object object;
  if (!BodyObject(body, &object)) {
    *error = "the body is not a JSON object";
    return false;
  }
  WebAction read;
  if (path == "/api/eject") {
    read.kind = WebAction::Kind::kEject;
  } else if (path == "/api/remote") {
    const json::value* remote = object.if_contains("remote");
    if (remote == nullptr || !remote->is_bool()) {
      *error = "remote must be true or false";
      return false;
    }
    read.kind = WebAction::Kind::kSetRemote;
    read.remote = remote->as_bool();
  } else if (path == "/api/load") {
    const json::value* id = object.if_contains("id");
    if (id == nullptr || !id->is_int64() || id->as_int64() <= 0 ||
        id->as_int64() > std::numeric_limits<int>::max()) {
      *error = "id must be a library id";
      return false;
    }
    read.kind = WebAction::Kind::kLoad;
    read.tape_id = static_cast<int>(id->as_int64());
  } else if (path == "/api/transport") {
    const json::value* command = object.if_contains("command");
    if (command == nullptr || !command->is_string()) {
      *error = "command is missing";
      return false;
    }
    const std::string_view name = command->as_string();
    if (name == "play") {
      read.kind = WebAction::Kind::kPlay;
    } else if (name == "stop") {
      read.kind = WebAction::Kind::kStop;
    } else if (name == "rew") {
      read.kind = WebAction::Kind::kRewind;
    } else if (name == "ff") {
      read.kind = WebAction::Kind::kFastForward;
    } else if (name == "jog" || name == "shuttle") {
      read.kind = name == "jog" ? WebAction::Kind::kJog : WebAction::Kind::kShuttle;
      if (!NumberField(object, "speed", &read.speed) || !(read.speed >= -kMaxShuttleSpeed) ||
          !(read.speed <= kMaxShuttleSpeed)) {
        *error = "speed must be a number from -50 to 50";
        return false;
      }
    } else if (name == "cue") {
      read.kind = WebAction::Kind::kCue;
      const json::value* timecode = object.if_contains("timecode");
      const std::optional<std::uint32_t> frame = timecode != nullptr && timecode->is_string()
                                                     ? ParseTimecode(timecode->as_string(), rate)
                                                     : std::nullopt;
      if (!frame) {
        *error = "timecode must be HH:MM:SS:FF";
        return false;
      }
      read.frame = *frame;
    } else {
      *error = "unknown command";
      return false;
    }
  } else {
    *error = "unknown action";
    return false;
  }
  *action = read;
  return true;
}

std::string LoginToken(std::string_view body) {
  json::object object;
  if (!BodyObject(body, &object)) return std::string();
  const json::value* token = object.if_contains("token");
  if (token == nullptr || !token->is_string()) return std::string();
  return std::string(token->as_string());
}

std::string MetricsText(const WebMetrics& m) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  Family(out, "vxr_output_ticks_total", "counter",
         "Output ticks by what the output record says the monitor showed.");
  out << "vxr_output_ticks_total{record=\"shown\"} " << m.ticks_right << '\n';
  out << "vxr_output_ticks_total{record=\"missed\"} " << m.ticks_missed << '\n';
  out << "vxr_output_ticks_total{record=\"key\"} " << m.ticks_key << '\n';
  out << "vxr_output_ticks_total{record=\"late\"} " << m.ticks_late << '\n';
  Histogram(out, "vxr_serial_reply_seconds",
            "The deck's own share of each serial reply: last byte read to reply written.",
            m.reply_buckets, m.reply_count, m.reply_sum_seconds);
  Family(out, "vxr_serial_frames_answered_total", "counter",
         "Serial frames received and answered.");
  out << "vxr_serial_frames_answered_total " << m.frames_answered << '\n';
  Family(out, "vxr_serial_frames_refused_total", "counter",
         "Serial frames received and dropped unfinished.");
  out << "vxr_serial_frames_refused_total " << m.frames_dropped << '\n';
  Family(out, "vxr_output_pictures_sent_total", "counter", "Pictures an output sent.");
  for (const WebOutputFigures& o : m.outputs) {
    out << "vxr_output_pictures_sent_total{output=\"" << LabelValue(o.name) << "\"} " << o.sent
        << '\n';
  }
  Family(out, "vxr_output_pictures_dropped_total", "counter", "Pictures an output dropped.");
  for (const WebOutputFigures& o : m.outputs) {
    out << "vxr_output_pictures_dropped_total{output=\"" << LabelValue(o.name) << "\"} "
        << o.dropped << '\n';
  }
  Family(out, "vxr_output_failures_total", "counter",
         "Times an output's destination failed (open or write).");
  for (const WebOutputFigures& o : m.outputs) {
    out << "vxr_output_failures_total{output=\"" << LabelValue(o.name) << "\"} " << o.failures
        << '\n';
  }
  Family(out, "vxr_output_callers", "gauge", "Receivers connected to a listening output now.");
  for (const WebOutputFigures& o : m.outputs) {
    if (o.callers < 0) continue;
    out << "vxr_output_callers{output=\"" << LabelValue(o.name) << "\"} " << o.callers << '\n';
  }
  Family(out, "vxr_sound_underruns_total", "counter",
         "Output ticks whose sound was not decoded in time.");
  out << "vxr_sound_underruns_total " << m.sound_underruns << '\n';
  Family(out, "vxr_decoder_memory_bytes", "gauge", "Bytes the tape decoder's pictures hold.");
  out << "vxr_decoder_memory_bytes " << m.decoder_bytes << '\n';
  Family(out, "vxr_decoder_memory_peak_bytes", "gauge",
         "The most bytes the tape decoder's pictures have held.");
  out << "vxr_decoder_memory_peak_bytes " << m.decoder_peak_bytes << '\n';
  Histogram(out, "vxr_web_transport_seconds",
            "The page's transport commands: request read to the deck having acted.",
            m.transport_buckets, m.transport_count, m.transport_sum_seconds);
  Family(out, "vxr_tape_loaded", "gauge", "1 while a tape is in.");
  out << "vxr_tape_loaded " << (m.tape_loaded ? 1 : 0) << '\n';
  Family(out, "vxr_remote", "gauge", "1 while the deck is under remote control.");
  out << "vxr_remote " << (m.remote ? 1 : 0) << '\n';
  return out.str();
}

}  // namespace vxr
