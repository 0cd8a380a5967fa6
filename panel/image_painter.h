#pragma once

#include <QImage>
#include <QPainter>

#include "panel/skin_image.h"

namespace vxr {

// A Qt picture of a skin image: rows turned top-down, pixels read as blue-green-red. Null for an
// image that is not loaded or has no pixels.
QImage SkinImageToQImage(const SkinImage& image);

// Draws the image opaquely with its top-left corner at the painter's origin; whatever lies
// outside the painted widget is clipped by the painter.
void DrawSkinImage(QPainter& painter, const SkinImage& image);

// The plain grey that a control or display without images shows.
void PaintNotLoaded(QPainter& painter, const QRect& area);

}  // namespace vxr
