#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vxr {

// One tape the deck offers to the network: the protocol's clip.
struct ControlClip {
  int id = 0;  // 1, 2, ... in name order
  std::string name;
  std::uint32_t frames = 0;  // its length in tape frames
  std::string file_format;   // e.g. "AVI"
  std::string video_format;  // e.g. "PAL", "1080i50"
};

// What the network sees of the deck at one moment. Read often (every poll of the control
// server), so it holds no list.
struct ControlDeckState {
  bool has_player = false;
  std::array<std::uint8_t, 16> status{};  // the deck's 16 status bytes
  std::uint32_t frame = 0;                // the current tape frame
  std::uint32_t frame_count = 0;          // the tape's length; 0 without a tape
  int rate = 25;                          // timecode frames per second
  std::string video_format;               // the output's format, e.g. "PAL"
  int clip_id = 0;                        // the library id of the tape in; 0 for none
  int clip_count = 0;                     // how many clips the library offers
  std::uint64_t clips_generation = 0;     // changes whenever the clip list changes
};

// What a network client asks the deck to do.
struct ControlAction {
  enum class Kind { kPlay, kStop, kJog, kShuttle, kCue, kLoadClip, kSetRemote };
  Kind kind = Kind::kStop;
  double speed = 0.0;       // kJog, kShuttle: 1.0 is play speed, negative is reverse
  std::uint32_t frame = 0;  // kCue: the tape frame
  int clip_id = 0;          // kLoadClip
  bool enable = false;      // kSetRemote: true hands the deck to remote control
};

// Result codes of an action, the protocol's own.
inline constexpr int kControlOk = 200;
inline constexpr int kControlSyntaxError = 100;
inline constexpr int kControlUnsupportedParameter = 101;
inline constexpr int kControlInvalidValue = 102;
inline constexpr int kControlUnsupported = 103;
inline constexpr int kControlNoDisk = 105;
inline constexpr int kControlInternalError = 108;
inline constexpr int kControlOutOfRange = 109;
inline constexpr int kControlRemoteDisabled = 111;
inline constexpr int kControlConnectionRejected = 120;
inline constexpr int kControlInvalidState = 150;

// The deck as the control server drives it. The application implements it: State and Clips
// from any thread, without waiting on the user-interface thread; Submit hands the action to the
// user-interface thread and returns at once, and done is called once with the action's result
// code (on any thread, perhaps before Submit returns).
class IDeckControl {
 public:
  virtual ~IDeckControl() = default;
  virtual ControlDeckState State() = 0;
  virtual std::vector<ControlClip> Clips() = 0;
  virtual void Submit(const ControlAction& action, std::function<void(int code)> done) = 0;
};

}  // namespace vxr
