#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netctl/control_parser.h"
#include "netctl/deck_control.h"

namespace vxr {

// What the network has set for the whole deck (every client shares it): the play range, and
// how a play started from the network goes on. The control server's thread only.
struct ControlDeckSettings {
  bool range_set = false;
  std::uint32_t range_in = 0;
  std::uint32_t range_out = 0;  // the last frame a network play shows
  bool loop = false;
  bool single_clip = false;
  // A play started from the network runs: it ends (or loops) at the range's out point.
  bool network_play = false;
  // The server has seen that play move forward (a play that then stops by another hand, the
  // edit controller's or the panel's, is no longer the network's).
  bool network_play_seen = false;
  // The speed in percent the network last asked for, for the transport info of a jog or a
  // shuttle (the deck's status tells the direction, not the speed).
  int last_speed = 0;
};

// What answering one command takes: text to send now, or an action for the deck whose result
// code is the reply.
struct ControlStep {
  std::string reply;
  // Run in order; the first that fails gives the reply, else the last one's success does.
  std::vector<ControlAction> actions;
  bool close = false;  // after the reply, the connection ends (quit)
};

// The identity a server announces.
struct ControlIdentity {
  std::string model = "vxrdeck";
  std::string unique_id;
};

// One client's view of the protocol: its notifications, its watchdog and its remote override,
// and the answer to each of its commands. No sockets: the server feeds it commands and deck
// states and sends what it returns.
class CControlSession {
 public:
  static constexpr const char* kProtocolVersion = "1.11";

  explicit CControlSession(const ControlIdentity& identity) : identity_(identity) {}

  // The connection-info block sent on connect.
  std::string Greeting() const;
  ControlStep Handle(const ControlCommand& command, IDeckControl& deck,
                     ControlDeckSettings& settings);
  // The asynchronous messages this client asked for that the change from before to now
  // carries; empty for none.
  std::string Notifications(const ControlDeckState& before, const ControlDeckState& now,
                            const ControlDeckSettings& settings) const;

  // The watchdog period in seconds; 0 for none.
  int WatchdogSeconds() const { return watchdog_seconds_; }
  // Whether this client asked for timecode changes (the server then watches every frame).
  bool WantsTimecode() const { return notify_.display_timecode || notify_.timeline_position; }
  bool WantsNotifications() const {
    return notify_.transport || notify_.slot || notify_.remote || WantsTimecode();
  }

 private:
  struct Notify {
    bool transport = false;
    bool slot = false;
    bool remote = false;
    bool configuration = false;
    bool display_timecode = false;
    bool timeline_position = false;
  };

  ControlStep HandleQuery(const ControlCommand& command, IDeckControl& deck,
                          const ControlDeckSettings& settings) const;
  ControlStep HandleNotify(const ControlCommand& command);
  ControlStep HandleWatchdog(const ControlCommand& command);
  ControlStep HandleRemote(const ControlCommand& command, const ControlDeckState& state);
  ControlStep HandleGoto(const ControlCommand& command, const ControlDeckState& state);
  ControlStep HandlePlay(const ControlCommand& command, const ControlDeckState& state,
                         ControlDeckSettings& settings);
  ControlStep HandleJog(const ControlCommand& command, const ControlDeckState& state);
  ControlStep HandleShuttle(const ControlCommand& command, const ControlDeckState& state,
                            ControlDeckSettings& settings);
  ControlStep HandlePlayRange(const ControlCommand& command, const ControlDeckState& state,
                              ControlDeckSettings& settings);
  // Whether this client may drive the deck now: under remote control, or with its override.
  bool MayDrive(const ControlDeckState& state) const;
  // Why a transport command cannot act now (remote control disabled, no tape); 0 when it can.
  int Refusal(const ControlDeckState& state) const;

  ControlIdentity identity_;
  Notify notify_;
  int watchdog_seconds_ = 0;
  bool override_ = false;
};

// The protocol's reading of the deck's status: "play", "stopped", ... and the speed in percent.
struct ControlTransport {
  const char* status = "stopped";
  int speed = 0;
};
ControlTransport TransportFromStatus(const ControlDeckState& state, int last_speed);
// Whether the deck is under remote control (the Local bit is clear).
bool RemoteEnabled(const ControlDeckState& state);
// Whether a tape is in and ready.
bool TapeIn(const ControlDeckState& state);

}  // namespace vxr
