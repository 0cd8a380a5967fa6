#pragma once

#include <cstdint>
#include <memory>

#include "platform/hresult.h"
#include "player/clv_play_server.h"
#include "player/clv_timeline.h"

namespace vxr {

// The board's units, properties and options, by the numbers the playback server gives them.
enum class BoardResource : std::int32_t {
  kVideoOutput = 1,
  kFieldUnit = 2,      // interlaced material with a known field order
  kOutputControl = 4,  // needed by SetBoardOption
  kPictureWindow = 5,  // needed by SetBoardRect
};
enum class BoardProperty : std::int32_t {
  kOutputRouting = 14,
};
enum class BoardOption : std::int32_t {
  kFieldOutput = 1,
  kFieldSwap = 2,
  kOutputScan = 3,
};

// Sets up the board for a tape's material and gives its units back: the video output, the field
// unit for interlaced material whose field order is known, and, for material of another size
// than the output, the output-sized window centred on the material's picture.
class CBoardResources {
 public:
  // Material flags of a super clip (GetFilledDataInfo).
  static constexpr std::uint32_t kInterlaced = 0x02;
  static constexpr std::uint32_t kFieldOrderKnown = 0x30;
  // Bits of the output routing property that switch the window and the field unit in.
  static constexpr std::int32_t kRouteWindow = 0x02;
  static constexpr std::int32_t kRouteFieldUnit = 0x04;
  // Values of the output scan option.
  static constexpr std::int32_t kScanFrames = 1;
  static constexpr std::int32_t kScanFields = 2;

  // The board all calls go to, and its output size.
  void Attach(std::shared_ptr<IClvPlayServer> server, std::int32_t board, std::int32_t output_width,
              std::int32_t output_height);
  void Detach() { server_.reset(); }

  // Sets the board up for material of flags, width and height; the timeline shows the window.
  // False when a unit cannot be acquired or the window cannot be set. *last_failure receives
  // the result of every failing acquire and window call, also of those that do not end it.
  bool SetUp(IClvTimeline& timeline, std::uint32_t flags, std::int32_t width, std::int32_t height,
             HRESULT* last_failure);
  // Gives every unit back and returns the settings to their start (nothing without a server).
  void Free();

 private:
  bool Acquire(BoardResource id, HRESULT* last_failure);

  std::shared_ptr<IClvPlayServer> server_;
  std::int32_t board_ = -1;
  std::int32_t output_width_ = 0;
  std::int32_t output_height_ = 0;
};

}  // namespace vxr
