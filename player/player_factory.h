#pragma once

#include "player/deck_player.h"

namespace vxr {

// The factory the program and the tests hand to CVtrDeck: it makes the real player, which
// talks to whatever playback server is registered. It returns nothing when memory runs out.
PlayerFactory MakeClvrPlayerFactory();

// The factory make, with an allocation failure turned into no player: failures are results, and
// the deck reports E_OUTOFMEMORY for a factory that returns nothing.
PlayerFactory WithoutAllocationFailure(PlayerFactory make);

}  // namespace vxr
