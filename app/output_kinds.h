#pragma once

#include <memory>
#include <vector>

#include "vboard/program/program_output_kind.h"

namespace vxr {

// Every kind of program output this deck has, in the order they start. --no-monitor and
// --no-sound are no_monitor and no_sound; web_page: the web server is on, and its page shows
// the program's thumbnail and meters.
std::vector<std::unique_ptr<IProgramOutputKind>> DeckOutputKinds(bool no_monitor, bool no_sound,
                                                                 bool web_page);

}  // namespace vxr
