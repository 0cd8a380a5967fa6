#include "player/player_factory.h"

#include <new>

#include "player/clvr_player.h"

namespace vxr {

PlayerFactory WithoutAllocationFailure(PlayerFactory make) {
  return [make = std::move(make)]() -> std::unique_ptr<CDeckPlayer> {
    if (!make) return nullptr;
    try {
      return make();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  };
}

PlayerFactory MakeClvrPlayerFactory() {
  return WithoutAllocationFailure(
      []() -> std::unique_ptr<CDeckPlayer> { return std::make_unique<CClvrPlayer>(); });
}

}  // namespace vxr
