#include "panel/skin_button.h"

#include <QMouseEvent>

namespace vxr {

CSkinButton::CSkinButton() = default;
CSkinButton::~CSkinButton() = default;

bool CSkinButton::LoadImages(std::string_view directory, std::span<const std::string> names,
                             int command_mode) {
  command_mode_ = command_mode;
  return CSkinIndicator::LoadImages(directory, names);
}

void CSkinButton::mousePressEvent(QMouseEvent* event) {
  if (!AcceptLeftButton(event)) return;
  SetPressed(true);
  if (command_mode_ == kCommandOnPress) SendCommand();
}

void CSkinButton::mouseReleaseEvent(QMouseEvent* event) {
  if (!AcceptLeftButton(event)) return;
  SetPressed(false);
  if (command_mode_ == kCommandOnRelease) SendCommand();
}

}  // namespace vxr
