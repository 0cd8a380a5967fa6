#include "player/player_factory.h"

#include "player/clvr_player.h"

namespace vxr {

PlayerFactory MakeClvrPlayerFactory() {
  return []() -> std::unique_ptr<CDeckPlayer> { return std::make_unique<CClvrPlayer>(); };
}

}  // namespace vxr
