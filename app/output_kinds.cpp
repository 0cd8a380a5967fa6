#include "app/output_kinds.h"

#include "sinks/qt/monitor_window_kind.h"
#include "sinks/qt/screen_output_kind.h"
#include "sinks/qt/sound_output_kind.h"
#include "sinks/stream/stream_output_kind.h"
#include "sinks/thumbnail/thumbnail_output_kind.h"

namespace vxr {

std::vector<std::unique_ptr<IProgramOutputKind>> DeckOutputKinds(
    bool no_monitor, bool no_sound, std::shared_ptr<CThumbnailSlot> page_thumbnail) {
  std::vector<std::unique_ptr<IProgramOutputKind>> kinds;
  kinds.push_back(std::make_unique<CMonitorWindowKind>(no_monitor));
  kinds.push_back(std::make_unique<CStreamOutputKind>());
  kinds.push_back(std::make_unique<CScreenOutputKind>());
  // After the screens: the sound meets the first screen's picture.
  kinds.push_back(std::make_unique<CSoundOutputKind>(no_monitor, no_sound));
  kinds.push_back(std::make_unique<CThumbnailOutputKind>(std::move(page_thumbnail)));
  return kinds;
}

}  // namespace vxr
