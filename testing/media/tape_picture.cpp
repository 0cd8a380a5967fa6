#include "testing/media/tape_picture.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace vxr {
namespace {

constexpr int kColumns = 8;
constexpr int kRows = 4;
constexpr int kDataBits = 24;
constexpr std::uint8_t kBlack = 16;
constexpr std::uint8_t kWhite = 240;
constexpr std::uint8_t kBackground = 48;
constexpr std::uint8_t kInk = 220;

struct Plane {
  std::uint8_t* pixels;
  int stride;
  int width;
  int height;

  void Fill(int x, int y, int w, int h, std::uint8_t value) const {
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = std::min(x + w, width), y1 = std::min(y + h, height);
    for (int row = y0; row < y1; ++row) {
      std::fill(pixels + row * stride + x0, pixels + row * stride + std::max(x0, x1), value);
    }
  }
};

int CellWidth(int width) { return width / kColumns; }
int CellHeight(int height) { return std::max(8, height / 24); }

std::uint8_t Crc8(std::uint32_t value) {
  std::uint8_t crc = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    crc ^= static_cast<std::uint8_t>(value >> shift);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
  }
  return crc ^ 0x5A;  // so that an all-black strip is no valid frame 0
}

// Segments a to g of each digit, bit 0 = a.
constexpr std::uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// Draws one character of height h at (x, y); returns its advance.
int DrawChar(const Plane& plane, int x, int y, int h, char c) {
  const int t = std::max(1, h / 8);
  const int w = std::max(3 * t, h * 11 / 20);
  const int gap = std::max(1, h / 10);
  if (c == ':') {
    plane.Fill(x, y + h / 3 - t / 2, t, t, kInk);
    plane.Fill(x, y + 2 * h / 3 - t / 2, t, t, kInk);
    return t + gap;
  }
  if (c < '0' || c > '9') return w + gap;
  const std::uint8_t s = kSegments[c - '0'];
  const int half = h / 2;
  if (s & 0x01) plane.Fill(x, y, w, t, kInk);                        // a
  if (s & 0x02) plane.Fill(x + w - t, y, t, half + t / 2, kInk);     // b
  if (s & 0x04) plane.Fill(x + w - t, y + half, t, h - half, kInk);  // c
  if (s & 0x08) plane.Fill(x, y + h - t, w, t, kInk);                // d
  if (s & 0x10) plane.Fill(x, y + half, t, h - half, kInk);          // e
  if (s & 0x20) plane.Fill(x, y, t, half + t / 2, kInk);             // f
  if (s & 0x40) plane.Fill(x, y + half - t / 2, w, t, kInk);         // g
  return w + gap;
}

int TextWidth(int h, const std::string& text) {
  const int t = std::max(1, h / 8);
  const int w = std::max(3 * t, h * 11 / 20);
  const int gap = std::max(1, h / 10);
  int total = 0;
  for (char c : text) total += (c == ':' ? t : w) + gap;
  return total;
}

void DrawLine(const Plane& plane, int y, int h, const std::string& text) {
  int x = std::max(0, (plane.width - TextWidth(h, text)) / 2);
  for (char c : text) x += DrawChar(plane, x, y, h, c);
}

}  // namespace

void DrawTapePicture(std::uint8_t* luma, int stride, int width, int height, std::uint32_t frame,
                     int timecode_fps) {
  const Plane plane{luma, stride, width, height};
  plane.Fill(0, 0, width, height, kBackground);

  const int cw = CellWidth(width), ch = CellHeight(height);
  const std::uint32_t data = frame & 0xFFFFFFu;
  const std::uint32_t word = (data << 8) | Crc8(data);
  for (int cell = 0; cell < kColumns * kRows; ++cell) {
    const bool one = (word >> (kColumns * kRows - 1 - cell)) & 1u;
    plane.Fill((cell % kColumns) * cw, (cell / kColumns) * ch, cw, ch, one ? kWhite : kBlack);
  }

  const int fps = timecode_fps > 0 ? timecode_fps : 25;
  char number[32];
  std::snprintf(number, sizeof number, "%06u", static_cast<unsigned>(frame));
  char timecode[48];
  const unsigned seconds = frame / static_cast<unsigned>(fps);
  std::snprintf(timecode, sizeof timecode, "%02u:%02u:%02u:%02u", (seconds / 3600) % 100,
                (seconds / 60) % 60, seconds % 60, frame % static_cast<unsigned>(fps));

  const int top = kRows * ch;
  const int room = height - top;
  const int margin = std::max(1, room / 12);
  int h = (room - 3 * margin) / 2;
  while (h > 4 && TextWidth(h, timecode) > width - 2 * margin) --h;
  if (h < 4) return;
  DrawLine(plane, top + margin, h, number);
  DrawLine(plane, top + 2 * margin + h, h, timecode);
}

std::optional<std::uint32_t> ReadFrameStrip(const std::uint8_t* luma, int stride, int width,
                                            int height) {
  if (luma == nullptr || width < kMinTapeWidth || height < kMinTapeHeight) return std::nullopt;
  const int cw = CellWidth(width), ch = CellHeight(height);
  std::uint32_t word = 0;
  for (int cell = 0; cell < kColumns * kRows; ++cell) {
    const int x0 = (cell % kColumns) * cw + cw / 4, x1 = (cell % kColumns) * cw + cw * 3 / 4;
    const int y0 = (cell / kColumns) * ch + ch / 4, y1 = (cell / kColumns) * ch + ch * 3 / 4;
    long sum = 0, count = 0;
    for (int y = y0; y < y1; ++y) {
      for (int x = x0; x < x1; ++x) {
        sum += luma[y * stride + x];
        ++count;
      }
    }
    word = (word << 1) | (count > 0 && sum > 128 * count ? 1u : 0u);
  }
  const std::uint32_t data = word >> 8;
  if (Crc8(data) != (word & 0xFFu)) return std::nullopt;
  return data;
}

}  // namespace vxr
