#pragma once

#include <string>
#include <string_view>

#include "panel/skin_control.h"

namespace vxr {

// The name of digit d's image, made from digit 0's: the character just before the last "."
// that is not the name's first character becomes d; without such a dot, the first character
// does. Empty for an empty name.
std::string DigitImageName(std::string_view digit0_name, int digit);

// The timecode readout: every character of "HH:MM:SS:FF" is a glyph image pasted onto the
// display's background, with a minus sign in front of a negative time. Each paint composes the
// whole readout off screen and draws it in one go, so it never flickers between glyphs.
class CSkinTimecode : public CSkinControl {
 public:
  CSkinTimecode();
  ~CSkinTimecode() override;

  // Reads the background, separator, minus sign and the ten digits (all of digit 0's size).
  // Releases what it held first, and what it had read when an image fails.
  bool LoadTimecode(std::string_view directory, std::string_view background,
                    std::string_view digit0, std::string_view minus, std::string_view separator);

  // Clamps hours to -24..24, minutes and seconds to 0..59, frames to 0..29; a negative hour
  // gives the minus sign. Repaints only when the value changes.
  void SetTime(int hours, int minutes, int seconds, int frames);
  const std::string& Text() const { return text_; }
  bool IsNegative() const { return negative_; }

  // The readout as it is painted: the background with the glyphs pasted in. False (and a
  // released image) when the display is not loaded or the copy cannot be allocated.
  bool Compose(SkinImage* out) const;

  void ReleaseImages() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool negative_ = false;
  int hours_ = 0;
  int minutes_ = 0;
  int seconds_ = 0;
  int frames_ = 0;
  SkinImage background_;
  SkinImage separator_;
  SkinImage minus_;
  SkinImage digits_[10];
  std::string text_ = "00:00:00:00";
};

}  // namespace vxr
