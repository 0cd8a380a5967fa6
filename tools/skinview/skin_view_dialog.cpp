#include "tools/skinview/skin_view_dialog.h"

namespace vxr {

CSkinViewDialog::CSkinViewDialog(std::FILE* log) : log_(log) { setWindowTitle("skinview"); }

bool CSkinViewDialog::OnInitDialog() {
  CSkinDialog::OnInitDialog();
  skin_loaded_ = LoadSkin(true);
  if (!skin_loaded_) done(QDialog::Rejected);
  return true;
}

bool CSkinViewDialog::OnCommand(int id) {
  std::fprintf(log_, "command %d\n", id);
  std::fflush(log_);
  const int button = id - kButtonIdBase;
  if (button >= 0 && button < kControlsPerKind) {
    Button(button).SetLamp((Button(button).State() & CSkinIndicator::kLit) == 0);
  }
  if (id == kPowerId) {
    done(QDialog::Accepted);
    return true;
  }
  return CSkinDialog::OnCommand(id);
}

void CSkinViewDialog::ShowDemoState() {
  Button(1).SetLamp(true);  // POWER
  Button(1).SetPressed(true);
  Button(5).SetLamp(true);     // PLAY
  Indicator(3).SetLamp(true);  // servo
  Indicator(7).SetLamp(true);  // forward
  Timecode().SetTime(1, 23, 45, 12);
  Label(0).SetText("/srv/media/tapes/evening_news_final.avi", true);
}

}  // namespace vxr
