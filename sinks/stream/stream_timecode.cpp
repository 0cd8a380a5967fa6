#include "sinks/stream/stream_timecode.h"

#include <charconv>

#include "sinks/stream/bit_writer.h"

namespace vxr {
namespace {

constexpr int kHoursCarried = 24;
constexpr std::uint8_t kH264NalTypeMask = 0x1f;
constexpr std::uint8_t kH264SeiNal = 6;
constexpr int kPictureTimingPayload = 1;
constexpr std::uint8_t kRbspTrailing = 0x80;
constexpr std::uint8_t kMpeg2GopStartCode = 0xb8;
// Without HRD parameters the clock timestamp's time offset is 24 bits long.
constexpr int kTimeOffsetBits = 24;
// ct_type 0: progressive; counting_type 0: no frame counts dropped; the frame count is in
// units of two ticks because x264's time scale counts fields.
constexpr std::uint32_t kProgressive = 0;
constexpr std::uint32_t kNoDroppedCounts = 0;
constexpr bool kFieldBasedUnits = true;

// How many clock timestamps a pic_struct has (Table D-1).
int ClockTimestamps(int pic_struct) {
  switch (pic_struct) {
    case 3:
    case 4:
    case 7:
      return 2;
    case 5:
    case 6:
    case 8:
      return 3;
    default:
      return 1;
  }
}

std::vector<std::uint8_t> PictureTimingPayload(int pic_struct, const StreamTimecode& timecode) {
  CBitWriter bits;
  bits.Write(static_cast<std::uint32_t>(pic_struct), 4);
  for (int i = 0; i < ClockTimestamps(pic_struct); ++i) {
    bits.WriteBit(true);  // clock_timestamp_flag
    bits.Write(kProgressive, 2);
    bits.WriteBit(kFieldBasedUnits);
    bits.Write(kNoDroppedCounts, 5);
    bits.WriteBit(true);   // full_timestamp_flag
    bits.WriteBit(false);  // discontinuity_flag
    bits.WriteBit(false);  // cnt_dropped_flag
    bits.Write(static_cast<std::uint32_t>(timecode.frames), 8);
    bits.Write(static_cast<std::uint32_t>(timecode.seconds), 6);
    bits.Write(static_cast<std::uint32_t>(timecode.minutes), 6);
    bits.Write(static_cast<std::uint32_t>(timecode.hours), 5);
    bits.Write(0, kTimeOffsetBits);
  }
  bits.AlignWithOne();
  return bits.Bytes();
}

void AppendSeiNumber(std::size_t value, std::vector<std::uint8_t>* out) {
  for (; value >= 0xff; value -= 0xff) out->push_back(0xff);
  out->push_back(static_cast<std::uint8_t>(value));
}

// The SEI RBSP with its picture-timing messages rewritten; empty when it has none or does not
// parse.
std::vector<std::uint8_t> RewriteSei(const std::vector<std::uint8_t>& rbsp,
                                     const StreamTimecode& timecode) {
  std::vector<std::uint8_t> out;
  bool rewritten = false;
  std::size_t at = 0;
  while (at < rbsp.size() && !(at + 1 == rbsp.size() && rbsp[at] == kRbspTrailing)) {
    std::size_t type = 0, size = 0;
    while (at < rbsp.size() && rbsp[at] == 0xff) type += rbsp[at++];
    if (at >= rbsp.size()) return {};
    type += rbsp[at++];
    while (at < rbsp.size() && rbsp[at] == 0xff) size += rbsp[at++];
    if (at >= rbsp.size()) return {};
    size += rbsp[at++];
    if (size > rbsp.size() - at) return {};
    std::vector<std::uint8_t> payload(rbsp.begin() + static_cast<std::ptrdiff_t>(at),
                                      rbsp.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
    if (type == kPictureTimingPayload && !payload.empty()) {
      payload = PictureTimingPayload(payload[0] >> 4, timecode);
      rewritten = true;
    }
    AppendSeiNumber(type, &out);
    AppendSeiNumber(payload.size(), &out);
    out.insert(out.end(), payload.begin(), payload.end());
  }
  if (!rewritten) return {};
  out.push_back(kRbspTrailing);
  return out;
}

// Where the start code at or after from begins (its three bytes 0 0 1), or size.
std::size_t FindStartCode(const std::uint8_t* data, std::size_t size, std::size_t from) {
  for (std::size_t i = from; i + 3 <= size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
  }
  return size;
}

}  // namespace

std::optional<StreamTimecode> ParseStreamTimecode(std::string_view text) {
  if (text.size() != 11 || text[2] != ':' || text[5] != ':' || text[8] != ':') return {};
  int fields[4] = {};
  for (int i = 0; i < 4; ++i) {
    const char* first = text.data() + 3 * i;
    const auto [end, error] = std::from_chars(first, first + 2, fields[i]);
    if (error != std::errc() || end != first + 2) return {};
  }
  if (fields[1] > 59 || fields[2] > 59 || fields[3] > 59) return {};
  return StreamTimecode{fields[0] % kHoursCarried, fields[1], fields[2], fields[3]};
}

std::vector<std::uint8_t> EscapeRbsp(const std::vector<std::uint8_t>& rbsp) {
  std::vector<std::uint8_t> out;
  out.reserve(rbsp.size() + rbsp.size() / 64 + 1);
  int zeros = 0;
  for (const std::uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return out;
}

std::vector<std::uint8_t> UnescapeRbsp(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(data[i]);
    zeros = data[i] == 0 ? zeros + 1 : 0;
  }
  return out;
}

bool SetH264PictureTimecode(std::vector<std::uint8_t>* access_unit,
                            const StreamTimecode& timecode) {
  std::vector<std::uint8_t>& au = *access_unit;
  std::vector<std::uint8_t> out;
  bool rewritten = false;
  std::size_t copied = 0;
  std::size_t start = FindStartCode(au.data(), au.size(), 0);
  while (start < au.size()) {
    const std::size_t nal = start + 3;
    std::size_t next = FindStartCode(au.data(), au.size(), nal);
    // A zero before the next start code is that code's leading zero_byte, not this unit's.
    std::size_t end = next;
    while (end > nal && au[end - 1] == 0 && next < au.size()) --end;
    if (nal < end && (au[nal] & kH264NalTypeMask) == kH264SeiNal) {
      const std::vector<std::uint8_t> sei =
          RewriteSei(UnescapeRbsp(au.data() + nal + 1, end - nal - 1), timecode);
      if (!sei.empty()) {
        out.insert(out.end(), au.begin() + static_cast<std::ptrdiff_t>(copied),
                   au.begin() + static_cast<std::ptrdiff_t>(nal + 1));
        const std::vector<std::uint8_t> escaped = EscapeRbsp(sei);
        out.insert(out.end(), escaped.begin(), escaped.end());
        copied = end;
        rewritten = true;
      }
    }
    start = next;
  }
  if (!rewritten) return false;
  out.insert(out.end(), au.begin() + static_cast<std::ptrdiff_t>(copied), au.end());
  au = std::move(out);
  return true;
}

bool SetMpeg2GopTimecode(std::uint8_t* data, std::size_t size, const StreamTimecode& timecode) {
  bool written = false;
  for (std::size_t at = FindStartCode(data, size, 0); at < size;
       at = FindStartCode(data, size, at + 3)) {
    if (at + 8 > size || data[at + 3] != kMpeg2GopStartCode) continue;
    std::uint8_t* field = data + at + 4;
    // drop_frame_flag 0, hours 5 bits, minutes 6, a marker bit, seconds 6, pictures 6; then
    // closed_gop and broken_link, kept.
    const std::uint32_t kept = field[3] & 0x7fu;
    const std::uint32_t value = static_cast<std::uint32_t>(timecode.hours) << 26 |
                                static_cast<std::uint32_t>(timecode.minutes) << 20 | 1u << 19 |
                                static_cast<std::uint32_t>(timecode.seconds) << 13 |
                                static_cast<std::uint32_t>(timecode.frames) << 7 | kept;
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    written = true;
  }
  return written;
}

}  // namespace vxr
