#include "player/command_mailbox.h"

#include <gtest/gtest.h>

#include <thread>

namespace vxr {
namespace {

using Admission = CCommandMailbox::Admission;
using PutResult = CCommandMailbox::PutResult;

PlayerCommand Code(std::int32_t code) {
  PlayerCommand command;
  command.code = code;
  return command;
}

TEST(CommandMailboxTest, TheNewestWinsAndAFullMailboxReplacesTheNewest) {
  CCommandMailbox mailbox;
  PlayerCommand taken;
  int dropped = -1;
  EXPECT_FALSE(mailbox.Take(&taken, &dropped));
  EXPECT_EQ(taken.code, 0);
  EXPECT_FALSE(mailbox.Wait(0));

  for (int i = 1; i <= CCommandMailbox::kSize; ++i) {
    EXPECT_EQ(mailbox.Put(Code(i), i * 0.5, Admission::kOrdinary), PutResult::kTaken);
  }
  EXPECT_EQ(mailbox.Put(Code(6), 9.0, Admission::kOrdinary), PutResult::kReplacedNewest);
  EXPECT_TRUE(mailbox.Waiting());
  ASSERT_TRUE(mailbox.Take(&taken, &dropped));
  EXPECT_EQ(taken.code, 6);
  EXPECT_EQ(taken.time_stamp, 9.0);  // stamped by the mailbox, not by the caller
  EXPECT_EQ(dropped, 4);             // 1 to 4; the fifth was replaced
  EXPECT_FALSE(mailbox.Waiting());
  EXPECT_FALSE(mailbox.Wait(1));
}

TEST(CommandMailboxTest, AClosingCommandLetsOnlyTheAlwaysAdmittedIn) {
  CCommandMailbox mailbox;
  EXPECT_EQ(mailbox.Put(Code(2), 0.0, Admission::kCloses), PutResult::kTaken);
  EXPECT_EQ(mailbox.Put(Code(8), 0.0, Admission::kOrdinary), PutResult::kRefused);
  EXPECT_EQ(mailbox.Put(Code(2), 0.0, Admission::kCloses), PutResult::kRefused);
  PlayerCommand taken;
  int dropped = 0;
  ASSERT_TRUE(mailbox.Take(&taken, &dropped));
  EXPECT_EQ(taken.code, 2);
  EXPECT_EQ(dropped, 0);
  EXPECT_TRUE(mailbox.Closed());
  EXPECT_EQ(mailbox.Put(Code(10), 0.0, Admission::kAlways), PutResult::kTaken);
  mailbox.Reopen();
  EXPECT_EQ(mailbox.Put(Code(8), 0.0, Admission::kOrdinary), PutResult::kTaken);
}

TEST(CommandMailboxTest, AWaitEndsWhenACommandArrives) {
  CCommandMailbox mailbox;
  std::thread waiter([&] { EXPECT_TRUE(mailbox.Wait(CCommandMailbox::kInfinite)); });
  mailbox.Put(Code(6), 0.0, Admission::kOrdinary);
  waiter.join();
}

}  // namespace
}  // namespace vxr
