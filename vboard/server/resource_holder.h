#pragma once

#include <memory>
#include <utility>

#include "player/clv_resource_holder.h"
#include "vboard/server/board_state.h"

namespace vxr {

// Keeps the software board's shared state alive while the deck holds it.
class CResourceHolder : public IClvResourceHolder {
 public:
  explicit CResourceHolder(std::shared_ptr<CBoardState> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<CBoardState> state_;
};

}  // namespace vxr
