#pragma once

#include <memory>
#include <vector>

#include "sinks/thumbnail/thumbnail_output_kind.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// Every kind of program output this deck has, in the order they start. --no-monitor and
// --no-sound are no_monitor and no_sound; page_thumbnail, given when the web server is on, is
// where its page finds the program's thumbnail and meters.
std::vector<std::unique_ptr<IProgramOutputKind>> DeckOutputKinds(
    bool no_monitor, bool no_sound, std::shared_ptr<CThumbnailSlot> page_thumbnail = nullptr);

}  // namespace vxr
