#pragma once

#include <QColor>
#include <QFont>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "panel/skin_control.h"

namespace vxr {

// Width in pixels of a one-line text (UTF-8) as it would be drawn.
using TextWidthFunction = std::function<int(std::string_view text)>;

// Shortens text in place until measure(text) <= width, for file paths: a drive prefix such as
// "C:\" stays, the next three characters become "...", and then characters just after the dots
// are deleted until the rest fits (the end of the text is what stays). A multi-byte UTF-8
// character is replaced or deleted whole. The result may still be too wide when nothing is left
// to delete. Any length is handled.
void FitText(std::string* text, int width, const TextWidthFunction& measure);

// The tallest font a skin label gets, in pixels: a larger height, of either sign, is held at
// this one (no label of a panel is taller, and the fit of a line height measures the font once
// per pixel).
inline constexpr int kMaxSkinFontHeight = 255;

// The font of a skin label: height < 0 is the character height in pixels, > 0 the line height
// (ascent + descent), 0 the default size, each bounded by kMaxSkinFontHeight; style bit 0 bold,
// bit 1 italic; an empty face lets the system choose.
QFont MakeSkinFont(std::string_view face, int height, int style);

// A text label on its background image. It sends its command like a button (on press or on
// release) but never changes its look when clicked.
class CSkinLabel : public CSkinControl {
 public:
  static constexpr const char* kInitialText = "Пусто";
  static constexpr int kStyleBold = 1;
  static constexpr int kStyleItalic = 2;

  CSkinLabel();
  ~CSkinLabel() override;

  bool LoadLabel(std::string_view directory, std::string_view image_name, std::string_view face,
                 int height, int style, int red, int green, int blue, int command_mode);

  // Replaces the text; with fit, a text wider than the label is shortened with FitText.
  void SetText(std::string_view text, bool fit);
  const std::string& Text() const { return text_; }
  QColor TextColor() const { return text_color_; }
  int CommandMode() const { return command_mode_; }
  bool HasFont() const { return font_.has_value(); }
  QFont Font() const { return font_.value_or(QFont()); }
  const SkinImage& Image() const { return image_; }

  void ReleaseImages() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int command_mode_ = 0;
  SkinImage image_;
  std::optional<QFont> font_;
  QColor text_color_{0, 0, 0};
  std::string text_ = kInitialText;
};

}  // namespace vxr
