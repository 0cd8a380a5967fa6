#pragma once

#include <cstdio>

#include "panel/skin_dialog.h"

namespace vxr {

// The panel as skinview shows it: the skin loaded exactly as the deck loads it, every command
// logged, and each button's lamp toggled by its command so that all its images can be seen.
// POWER ends the preview, as it ends the deck.
class CSkinViewDialog : public CSkinDialog {
 public:
  static constexpr int kPowerId = kButtonIdBase + 1;

  explicit CSkinViewDialog(std::FILE* log);

  bool OnCommand(int id) override;
  // Lights a typical playing state, for pictures of the skin.
  void ShowDemoState();
  bool SkinLoaded() const { return skin_loaded_; }

 protected:
  bool OnInitDialog() override;

 private:
  std::FILE* log_;
  bool skin_loaded_ = false;
};

}  // namespace vxr
