#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vxr {

// Timecodes as people and the network protocols write them. Pure.

// HH:MM:SS:FF of a tape frame at rate frames per second.
std::string FormatTimecode(std::uint32_t frame, int rate);
// The frame of "HH:MM:SS:FF" (";" or "." before the frames is taken too); nothing for any other
// text or a field out of its range.
std::optional<std::uint32_t> ParseTimecode(std::string_view text, int rate);

}  // namespace vxr
