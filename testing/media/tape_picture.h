#pragma once

#include <cstdint>
#include <optional>

namespace vxr {

// The picture of one test-tape frame, drawn on an 8-bit luma plane: at the top a strip of
// 8 x 4 black and white blocks that carries the frame number for programs (24 bits, most
// significant first, then an 8-bit CRC), below it the frame number and the timecode in large
// seven-segment digits for people.
inline constexpr int kMinTapeWidth = 64;
inline constexpr int kMinTapeHeight = 48;

// Draws frame (timecode at timecode_fps, 25 or 30) into the plane. width and height at least
// kMinTapeWidth x kMinTapeHeight.
void DrawTapePicture(std::uint8_t* luma, int stride, int width, int height, std::uint32_t frame,
                     int timecode_fps);

// Reads the strip of a picture drawn by DrawTapePicture (after lossy coding too); nothing when
// the blocks do not form a valid number.
std::optional<std::uint32_t> ReadFrameStrip(const std::uint8_t* luma, int stride, int width,
                                            int height);

}  // namespace vxr
