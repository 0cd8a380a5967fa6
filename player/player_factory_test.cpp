#include "player/player_factory.h"

#include <gtest/gtest.h>

#include <new>

namespace vxr {
namespace {

TEST(PlayerFactoryTest, AnAllocationFailureGivesNoPlayer) {
  const PlayerFactory throwing = []() -> std::unique_ptr<CDeckPlayer> { throw std::bad_alloc(); };
  std::unique_ptr<CDeckPlayer> made;
  EXPECT_NO_THROW(made = WithoutAllocationFailure(throwing)());
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(WithoutAllocationFailure(nullptr)(), nullptr);
  EXPECT_NE(MakeClvrPlayerFactory()(), nullptr);
}

}  // namespace
}  // namespace vxr
