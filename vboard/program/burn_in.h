#pragma once

#include <cstdint>
#include <string_view>

namespace vxr {

// Superimposes text (digits, ':', '-', ' ') as a deck's character generator does: white
// characters on a black box, centred in the lower part of the picture, sized to the picture's
// height. Pixels are 0xAARRGGBB. Other characters are drawn as blanks.
void BurnInTimecode(std::uint32_t* pixels, int width, int height, std::string_view text);

}  // namespace vxr
