#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace vxr {

// An output format of the software board. The rate is the exact fraction num / den; the deck's
// timecode runs at 25 or 30, so there are no 50 or 60 frame formats.
struct OutputFormat {
  const char* name = "pal";
  int width = 720;
  int height = 576;
  int rate_num = 25;
  int rate_den = 1;

  double FramesPerSecond() const { return static_cast<double>(rate_num) / rate_den; }
  // The integer timecode rate of this output: 25 for exactly 25 frames per second, else 30.
  int TimecodeFps() const { return rate_num == 25 && rate_den == 1 ? 25 : 30; }
};

// The formats by name: pal (720 x 576, 25), ntsc (720 x 486, 30000/1001), 1080-25 and
// 1080-29.97 (1920 x 1080), 720-25 and 720-29.97 (1280 x 720). Names in any letter case.
bool FindOutputFormat(std::string_view name, OutputFormat* format);

// What the board registration is given.
struct BoardConfig {
  int board_count = 1;     // 0 = no board present
  OutputFormat format;     // pal by default
  bool registered = true;  // false: the program leaves the server unregistered
  std::string log_path;    // output record file, empty for none
  // The output monitor's decoding: its memory budget in MiB and the pictures it converts ahead
  // of the output. Unset: the decoder's defaults (DecoderLimits).
  std::optional<std::size_t> decode_mb;
  std::optional<std::size_t> read_ahead;
};

inline constexpr std::size_t kMinDecodeMb = 64;     // one 4:2:2 run of a few 1080 pictures
inline constexpr std::size_t kMaxDecodeMb = 65536;  // 64 GiB
inline constexpr std::size_t kMaxReadAhead = 100;

inline constexpr int kMaxBoards = 8;

// Builds the configuration from VXR_BOARD_COUNT (0..8), VXR_BOARD_FORMAT (a name above),
// VXR_BOARD_REGISTERED (0 skips registration, 1 registers), VXR_BOARD_LOG (a file path),
// VXR_BOARD_DECODE_MB (kMinDecodeMb..kMaxDecodeMb) and VXR_BOARD_READ_AHEAD (1..kMaxReadAhead).
// lookup answers a variable's value or null. An unknown value is refused with a line on errors
// and the default is kept.
BoardConfig BoardConfigFromEnvironment(const std::function<const char*(const char*)>& lookup,
                                       std::ostream& errors);
// The same from the process environment, refusals on standard error.
BoardConfig BoardConfigFromEnvironment();

}  // namespace vxr
