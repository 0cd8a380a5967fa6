#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxr {

// Decodes every picture of a movie and reads its frame-number strip: one entry per decoded
// picture, in order, empty where the strip is unreadable. False with a reason when the movie
// cannot be decoded at all.
bool ReadTapeFrameNumbers(const std::string& path,
                          std::vector<std::optional<std::uint32_t>>* numbers, std::string* error);

}  // namespace vxr
