#pragma once

#include <span>
#include <string>
#include <string_view>

#include "panel/skin_control.h"

namespace vxr {

// An indicator lamp: state bit 0 is "lit", bit 1 "held down". It shows image (state AND state
// mask): image 0 or 1 for a lamp with two images; a button's four images also show bit 1.
class CSkinIndicator : public CSkinControl {
 public:
  static constexpr int kMaxImages = 4;
  static constexpr int kLit = 1;
  static constexpr int kHeldDown = 2;

  CSkinIndicator();
  ~CSkinIndicator() override;

  // Reads the state images (1 to 4 names) from the image directory; all must have the first
  // one's size, which becomes the control's size. Whatever was held before is released first;
  // a failure at any image releases what had been read and leaves the control not loaded.
  bool LoadImages(std::string_view directory, std::span<const std::string> names);

  void SetLamp(bool lit);
  void SetPressed(bool down);
  int State() const { return state_; }
  int StateMask() const { return state_mask_; }
  const SkinImage& Image(int index) const { return images_[index]; }

  void ReleaseImages() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void SetStateBit(int bit, bool on);

 private:
  int state_ = 0;
  int state_mask_ = 0;
  SkinImage images_[kMaxImages];
};

}  // namespace vxr
