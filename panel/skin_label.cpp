#include "panel/skin_label.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstdint>

#include "panel/image_painter.h"

namespace vxr {
namespace {

constexpr std::size_t kFitBytes = 511;

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Bytes of the UTF-8 character at pos; a broken sequence counts byte by byte.
std::size_t CharLength(const std::string& text, std::size_t pos) {
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  std::size_t length = 1;
  while (length < expected && pos + length < text.size() && IsContinuation(text[pos + length])) {
    ++length;
  }
  return length;
}

int MeasureWithFont(const QFont& font, std::string_view text) {
  return QFontMetrics(font).horizontalAdvance(
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

}  // namespace

void FitText(std::string* text, int width, const TextWidthFunction& measure) {
  if (text == nullptr || measure(*text) <= width) return;
  std::size_t p = 0;
  if (text->size() >= 2 && (*text)[1] == ':') {
    p = 3;
    // A prefix that ends inside a multi-byte character keeps that character whole.
    while (p < text->size() && IsContinuation((*text)[p])) ++p;
  }
  if (p >= text->size()) return;
  // Invariant: n, the bytes still after p, is text->size() - p.
  for (int dot = 0; dot < 3; ++dot) {
    if (p >= text->size()) return;
    text->replace(p, CharLength(*text, p), 1, '.');
    ++p;
  }
  // One measurement per deleted character: a text far longer than any label shows first loses
  // whole characters after the dots, down to the shortening buffer's 511 bytes, provided that
  // what remains then still does not fit (so the walk below would have passed through it).
  if (text->size() > kFitBytes) {
    std::size_t cut = text->size() - kFitBytes;
    while (p + cut < text->size() && IsContinuation((*text)[p + cut])) ++cut;
    std::string shorter = *text;
    shorter.erase(p, cut);
    if (measure(shorter) > width) *text = std::move(shorter);
  }
  while (p < text->size()) {
    if (measure(*text) <= width) return;
    text->erase(p, CharLength(*text, p));
  }
}

QFont MakeSkinFont(std::string_view face, int height, int style) {
  QFont font;
  if (!face.empty()) {
    font.setFamily(QString::fromUtf8(face.data(), static_cast<qsizetype>(face.size())));
  }
  font.setWeight((style & CSkinLabel::kStyleBold) != 0 ? QFont::Bold : QFont::Normal);
  font.setItalic((style & CSkinLabel::kStyleItalic) != 0);
  height = std::clamp(height, -kMaxSkinFontHeight, kMaxSkinFontHeight);
  if (height < 0) {
    font.setPixelSize(-height);
  } else if (height > 0) {
    // The largest pixel size whose line (ascent + descent) fits the cell height.
    int pixels = height;
    for (; pixels > 1; --pixels) {
      font.setPixelSize(pixels);
      const QFontMetrics metrics(font);
      if (metrics.ascent() + metrics.descent() <= height) break;
    }
    font.setPixelSize(pixels);
  }
  return font;
}

CSkinLabel::CSkinLabel() = default;
CSkinLabel::~CSkinLabel() = default;

bool CSkinLabel::LoadLabel(std::string_view directory, std::string_view image_name,
                           std::string_view face, int height, int style, int red, int green,
                           int blue, int command_mode) {
  ReleaseImages();
  if (!ReadBitmapFile(directory, image_name, &image_)) return false;
  font_ = MakeSkinFont(face, height, style);
  SizeToImage(image_);
  SetLoaded(true);
  text_color_ = QColor(red & 0xFF, green & 0xFF, blue & 0xFF);
  command_mode_ = command_mode;
  return true;
}

void CSkinLabel::SetText(std::string_view text, bool fit) {
  text_.assign(text);
  if (fit && font_) {
    const QFont font = *font_;
    const TextWidthFunction measure = [&font](std::string_view t) {
      return MeasureWithFont(font, t);
    };
    if (measure(text_) > width()) FitText(&text_, width(), measure);
  }
  RepaintIfLoaded();
}

void CSkinLabel::ReleaseImages() {
  image_.Release();
  font_.reset();
  SetLoaded(false);
}

void CSkinLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!IsLoaded()) {
    PaintNotLoaded(painter, rect());
    return;
  }
  DrawSkinImage(painter, image_);
  if (font_) painter.setFont(*font_);
  painter.setPen(text_color_);
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine,
                   QString::fromUtf8(text_.data(), static_cast<qsizetype>(text_.size())));
}

void CSkinLabel::mousePressEvent(QMouseEvent* event) {
  if (!AcceptLeftButton(event)) return;
  if (command_mode_ == kCommandOnPress) SendCommand();
}

void CSkinLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (!AcceptLeftButton(event)) return;
  if (command_mode_ == kCommandOnRelease) SendCommand();
}

}  // namespace vxr
