#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/hresult.h"
#include "player/transport.h"

namespace vxr {

// The deck's view of its player: the transport interface plus what the deck object itself needs
// to start it, switch local control, load a tape and learn why an operation failed.
class CDeckPlayer : public CTransport {
 public:
  // Connects to the board and starts the player thread; 0 on success, a negative result
  // otherwise (the owner then deletes the player).
  virtual HRESULT Initialize() = 0;
  // Sets Local to flag != 0 and returns status bytes 0 to 3 as they were, as a little-endian word.
  virtual std::uint32_t SetLocal(int flag) = 0;
  // Loads the tape file (UTF-8 path): 0 loaded, 85 already loaded, 50 neither AVI nor TML,
  // anything else the failing call's result.
  virtual HRESULT InsertTape(const std::string& path) = 0;
  // The most recent failing result.
  virtual HRESULT LastResult() const = 0;
  // The loaded tape's length in frames; 0 without a tape or when the player cannot say.
  virtual std::uint32_t FrameCount() const { return 0; }
};

// Makes the player that a deck owns. The program gives one that makes the real player; tests
// give one that makes a fake. An empty factory, or one that returns nothing, leaves the deck
// without a player.
using PlayerFactory = std::function<std::unique_ptr<CDeckPlayer>()>;

}  // namespace vxr
