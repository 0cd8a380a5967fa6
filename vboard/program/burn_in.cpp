#include "vboard/program/burn_in.h"

#include <algorithm>
#include <array>

namespace vxr {
namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphGap = 1;   // columns between characters, in glyph cells
constexpr int kBoxMargin = 2;  // glyph cells of black around the text
constexpr std::uint32_t kWhite = 0xffffffffu;
constexpr std::uint32_t kBlack = 0xff000000u;

// 5 x 7 glyphs, one row per byte, bit 4 the leftmost column.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;
constexpr Glyph kDigits[10] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr Glyph kColon = {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00};
constexpr Glyph kDash = {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00};
constexpr Glyph kBlank = {};

const Glyph& GlyphOf(char c) {
  if (c >= '0' && c <= '9') return kDigits[c - '0'];
  if (c == ':' || c == ';' || c == '.') return kColon;
  if (c == '-') return kDash;
  return kBlank;
}

}  // namespace

void BurnInTimecode(std::uint32_t* pixels, int width, int height, std::string_view text) {
  if (pixels == nullptr || width <= 0 || height <= 0 || text.empty()) return;
  // One glyph cell is about 1/20 of the text height, the text about 1/12 of the picture.
  int cell = std::max(1, height / (12 * kGlyphHeight));
  const int columns = static_cast<int>(text.size()) * (kGlyphWidth + kGlyphGap) - kGlyphGap;
  const int box_cells_w = columns + 2 * kBoxMargin;
  const int box_cells_h = kGlyphHeight + 2 * kBoxMargin;
  while (cell > 1 && box_cells_w * cell > width) --cell;
  if (box_cells_w * cell > width || box_cells_h * cell > height) return;
  const int box_w = box_cells_w * cell;
  const int box_h = box_cells_h * cell;
  const int box_x = (width - box_w) / 2;
  const int box_y = std::max(0, height - box_h - height / 10);
  for (int y = box_y; y < box_y + box_h; ++y) {
    std::fill(pixels + static_cast<std::ptrdiff_t>(y) * width + box_x,
              pixels + static_cast<std::ptrdiff_t>(y) * width + box_x + box_w, kBlack);
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const Glyph& glyph = GlyphOf(text[i]);
    const int glyph_x =
        box_x + (kBoxMargin + static_cast<int>(i) * (kGlyphWidth + kGlyphGap)) * cell;
    const int glyph_y = box_y + kBoxMargin * cell;
    for (int row = 0; row < kGlyphHeight; ++row) {
      for (int col = 0; col < kGlyphWidth; ++col) {
        if ((glyph[row] & (0x10 >> col)) == 0) continue;
        for (int dy = 0; dy < cell; ++dy) {
          std::uint32_t* line =
              pixels + static_cast<std::ptrdiff_t>(glyph_y + row * cell + dy) * width;
          std::fill(line + glyph_x + col * cell, line + glyph_x + (col + 1) * cell, kWhite);
        }
      }
    }
  }
}

}  // namespace vxr
