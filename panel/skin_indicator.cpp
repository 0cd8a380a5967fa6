#include "panel/skin_indicator.h"

#include <QPainter>

#include "panel/image_painter.h"

namespace vxr {

CSkinIndicator::CSkinIndicator() = default;
CSkinIndicator::~CSkinIndicator() = default;

bool CSkinIndicator::LoadImages(std::string_view directory, std::span<const std::string> names) {
  ReleaseImages();
  if (names.empty() || names.size() > static_cast<std::size_t>(kMaxImages)) return false;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool read = ReadBitmapFile(directory, names[i], &images_[i]);
    if (!read || images_[i].Width() != images_[0].Width() ||
        images_[i].Height() != images_[0].Height()) {
      ReleaseImages();
      return false;
    }
  }
  state_mask_ = static_cast<int>(names.size()) - 1;
  SizeToImage(images_[0]);
  SetLoaded(true);
  return true;
}

void CSkinIndicator::SetLamp(bool lit) { SetStateBit(kLit, lit); }

void CSkinIndicator::SetPressed(bool down) { SetStateBit(kHeldDown, down); }

void CSkinIndicator::SetStateBit(int bit, bool on) {
  if (((state_ & bit) != 0) == on) return;
  state_ = on ? (state_ | bit) : (state_ & ~bit);
  RepaintIfLoaded();
}

void CSkinIndicator::ReleaseImages() {
  for (SkinImage& image : images_) image.Release();
  state_ = 0;
  state_mask_ = 0;
  SetLoaded(false);
}

void CSkinIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!IsLoaded()) {
    PaintNotLoaded(painter, rect());
    return;
  }
  DrawSkinImage(painter, images_[state_ & state_mask_]);
}

}  // namespace vxr
