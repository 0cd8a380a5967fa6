#include "panel/skin_control.h"

#include <QMouseEvent>
#include <algorithm>

namespace vxr {
namespace {

// A skin may place a control anywhere, but Qt keeps a widget's far edge as position plus size
// in an int: beyond its widget size limit that wraps round. A control out there is off the panel
// either way.
int WithinWidgetRange(int coordinate) {
  return std::clamp(coordinate, -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

}  // namespace

CSkinControl::CSkinControl() {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setAutoFillBackground(false);
}

CSkinControl::~CSkinControl() = default;

void CSkinControl::Create(QWidget* panel, int id, int x, int y) {
  setParent(panel);
  id_ = id;
  move(WithinWidgetRange(x), WithinWidgetRange(y));
  created_ = true;
  show();
}

void CSkinControl::mousePressEvent(QMouseEvent* event) {
  // Not ours: Qt hands the press to the panel, with the point in the panel's coordinates.
  event->ignore();
}

bool CSkinControl::AcceptLeftButton(QMouseEvent* event) {
  const bool left = event->button() == Qt::LeftButton;
  event->setAccepted(left);
  return left;
}

void CSkinControl::SizeToImage(const SkinImage& image) { resize(image.Width(), image.Height()); }

void CSkinControl::RepaintIfLoaded() {
  if (loaded_) repaint();
}

void CSkinControl::SendCommand() {
  if (auto* target = dynamic_cast<ISkinCommandTarget*>(parentWidget())) target->OnCommand(id_);
}

}  // namespace vxr
