#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vxr {

// A picture's timecode as the stream carries it: non-drop-frame, counted at the deck's integer
// rate (25, or 30 at 29.97), hours 0 to 23.
struct StreamTimecode {
  int hours = 0;
  int minutes = 0;
  int seconds = 0;
  int frames = 0;
  bool operator==(const StreamTimecode&) const = default;
};

// "HH:MM:SS:FF" as the deck's time sense answers it, hours from 24 on taken modulo 24 (both
// stream formats carry 0 to 23); nothing for "--:--:--:--" (no picture yet) or other text.
std::optional<StreamTimecode> ParseStreamTimecode(std::string_view text);

// Gives every picture-timing SEI message in an H.264 access unit (Annex B byte stream) a full
// SMPTE 12M clock timestamp of timecode, keeping its pic_struct and the other messages. For
// streams whose sequence parameters signal pic_struct and no HRD (so that the time offset is 24
// bits): what x264 writes with pic-struct=1 and no nal-hrd. Emulation-prevention bytes are
// removed before and inserted after. False, with access_unit unchanged, when it holds no
// picture-timing message.
bool SetH264PictureTimecode(std::vector<std::uint8_t>* access_unit, const StreamTimecode& timecode);

// Writes timecode (non-drop-frame) into the time_code field of every MPEG-2 GOP header in data,
// keeping closed_gop and broken_link. False when data holds no GOP header.
bool SetMpeg2GopTimecode(std::uint8_t* data, std::size_t size, const StreamTimecode& timecode);

// H.264's emulation prevention: a 3 after every two zero bytes followed by a byte of 0 to 3, and
// its removal.
std::vector<std::uint8_t> EscapeRbsp(const std::vector<std::uint8_t>& rbsp);
std::vector<std::uint8_t> UnescapeRbsp(const std::uint8_t* data, std::size_t size);

}  // namespace vxr
