#pragma once

#include "panel/skin_indicator.h"

namespace vxr {

// A push button: held down from press to release (state bit 1, images 2 and 3), and sending
// its command to the panel on press or on release as its skin record says. The press takes the
// mouse, so the release arrives here wherever the pointer is then and always counts.
class CSkinButton : public CSkinIndicator {
 public:
  CSkinButton();
  ~CSkinButton() override;

  using CSkinIndicator::LoadImages;
  // The command mode is stored before the images are read.
  bool LoadImages(std::string_view directory, std::span<const std::string> names, int command_mode);
  int CommandMode() const { return command_mode_; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int command_mode_ = 0;
};

}  // namespace vxr
