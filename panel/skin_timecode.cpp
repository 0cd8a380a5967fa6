#include "panel/skin_timecode.h"

#include <QPainter>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "panel/image_painter.h"

namespace vxr {

std::string DigitImageName(std::string_view digit0_name, int digit) {
  std::string name(digit0_name);
  if (name.empty()) return name;
  const std::size_t dot = name.rfind('.');
  const std::size_t at = (dot == std::string::npos || dot == 0) ? 0 : dot - 1;
  name[at] = static_cast<char>('0' + digit);
  return name;
}

CSkinTimecode::CSkinTimecode() = default;
CSkinTimecode::~CSkinTimecode() = default;

bool CSkinTimecode::LoadTimecode(std::string_view directory, std::string_view background,
                                 std::string_view digit0, std::string_view minus,
                                 std::string_view separator) {
  ReleaseImages();
  bool ok = ReadBitmapFile(directory, background, &background_) &&
            ReadBitmapFile(directory, separator, &separator_) &&
            ReadBitmapFile(directory, minus, &minus_) &&
            ReadBitmapFile(directory, digit0, &digits_[0]);
  for (int d = 1; ok && d <= 9; ++d) {
    ok = !digit0.empty() && ReadBitmapFile(directory, DigitImageName(digit0, d), &digits_[d]) &&
         digits_[d].Width() == digits_[0].Width() && digits_[d].Height() == digits_[0].Height();
  }
  if (!ok) {
    ReleaseImages();
    return false;
  }
  SizeToImage(background_);
  SetLoaded(true);
  return true;
}

void CSkinTimecode::SetTime(int hours, int minutes, int seconds, int frames) {
  hours = std::clamp(hours, -24, 24);
  minutes = std::clamp(minutes, 0, 59);
  seconds = std::clamp(seconds, 0, 59);
  frames = std::clamp(frames, 0, 29);
  if (hours == hours_ && minutes == minutes_ && seconds == seconds_ && frames == frames_) return;
  hours_ = hours;
  minutes_ = minutes;
  seconds_ = seconds;
  frames_ = frames;
  negative_ = hours < 0;
  char text[48];  // the clamped values need 12; room for what the compiler cannot prove
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", std::abs(hours), minutes, seconds,
                frames);
  text_ = text;
  RepaintIfLoaded();
}

bool CSkinTimecode::Compose(SkinImage* out) const {
  if (!IsLoaded() || !out->CopyFrom(background_) || !out->IsLoaded()) {
    out->Release();
    return false;
  }
  const SkinImage& digit0 = digits_[0];
  const int y0 = (background_.Height() - digit0.Height()) / 2;
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  // Widths summed in 64 bits: glyphs of no height may be as wide as an int can say.
  std::int64_t row_width = minus_.Width();
  for (char c : text_) row_width += is_digit(c) ? digit0.Width() : separator_.Width();
  const std::int64_t x0 = (background_.Width() - row_width) / 2;
  // A glyph wholly outside the background is not pasted, so every x handed on fits an int.
  auto paste = [&](std::int64_t x, const SkinImage& glyph) {
    if (x >= background_.Width() || x + glyph.Width() <= 0) return;
    BlitImage(static_cast<int>(x), y0, out, glyph);
  };
  if (negative_) paste(x0, minus_);
  // The sign's place stays free when it is not drawn, so the digits never move.
  std::int64_t x = x0 + minus_.Width();
  for (char c : text_) {
    const SkinImage& glyph = is_digit(c) ? digits_[c - '0'] : separator_;
    paste(x, glyph);
    x += glyph.Width();
  }
  return true;
}

void CSkinTimecode::ReleaseImages() {
  background_.Release();
  separator_.Release();
  minus_.Release();
  for (SkinImage& digit : digits_) digit.Release();
  SetLoaded(false);
}

void CSkinTimecode::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  SkinImage readout;
  if (!Compose(&readout)) {
    PaintNotLoaded(painter, rect());
    return;
  }
  DrawSkinImage(painter, readout);
}

}  // namespace vxr
