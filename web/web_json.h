#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "web/web_deck.h"

namespace vxr {

// The panel's lamps as the status bytes light them.
struct WebLamps {
  bool stop = false;
  bool play = false;
  bool rewind = false;
  bool fast_forward = false;
  bool shuttle = false;
  bool jog = false;
  bool servo_lock = false;
  bool still = false;
  bool reverse = false;
  bool forward = false;  // motion in the play direction
  bool eject = false;
};
WebLamps LampsOf(const std::uint8_t status[16]);

// The JSON documents of the API.
std::string StateJson(const WebDeckState& state);
std::string LibraryJson(const std::vector<WebTape>& tapes);
std::string LogJson(const std::vector<std::string>& lines);
std::string ResultJson(const WebResult& result);
std::string ErrorJson(std::string_view message);
std::string SessionJson(bool token_needed, bool authorized);
// The event stream's news of the program: the thumbnail's sequence and timecode, the meters.
std::string ThumbnailJson(const WebThumbnail& thumbnail);

// Reads the body of a POST to /api/transport, /api/load, /api/eject or /api/remote; rate for a
// cue's timecode. False with a few words for the client.
bool ParseAction(std::string_view path, std::string_view body, int rate, WebAction* action,
                 std::string* error);
// The token of a login's body {"token": "..."}; empty when there is none.
std::string LoginToken(std::string_view body);

// The Prometheus text format of the deck's metrics.
std::string MetricsText(const WebMetrics& metrics);

}  // namespace vxr
