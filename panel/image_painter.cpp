#include "panel/image_painter.h"

namespace vxr {

QImage SkinImageToQImage(const SkinImage& image) {
  if (!image.IsLoaded() || image.Width() <= 0 || image.Height() <= 0) return QImage();
  // The block is bottom-up; viewed in place it is the picture upside down, so one mirrored
  // copy gives Qt the rows in its order.
  const QImage upside_down(image.pixels.get(), image.Width(), image.Height(),
                           static_cast<qsizetype>(image.Stride()), QImage::Format_BGR888);
  return upside_down.mirrored(false, true);
}

void DrawSkinImage(QPainter& painter, const SkinImage& image) {
  const QImage picture = SkinImageToQImage(image);
  if (!picture.isNull()) painter.drawImage(QPoint(0, 0), picture);
}

void PaintNotLoaded(QPainter& painter, const QRect& area) {
  painter.fillRect(area, QColor(128, 128, 128));
}

}  // namespace vxr
