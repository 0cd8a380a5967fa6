#pragma once

#include "player/deck_player.h"

namespace vxr {

// The factory the program and the tests hand to CVtrDeck: it makes the real player, which
// talks to whatever playback server is registered.
PlayerFactory MakeClvrPlayerFactory();

}  // namespace vxr
