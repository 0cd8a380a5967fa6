#include "tools/vxrctl/edit_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr::vxrctl {
namespace {

using testing::PtyPair;

// Here the test plays the deck on the pty's master side; the controller opens the slave.
class EditControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(controller_.Open(pty_.SlavePath().c_str()), 0u);
  }

  PtyPair pty_;
  CEditController controller_;
};

TEST_F(EditControllerTest, ReplyIsReadByItsLengthAndLateBytesAreDiscarded) {
  // A late reply to an earlier command is still on the line when the next one goes out.
  ASSERT_TRUE(pty_.Write({0x10, 0x01, 0x11}));
  // It has reached the controller's end (the pair's slave side here) before the command goes.
  ASSERT_TRUE(testing::WaitFor([this] { return pty_.QueuedForDeck() == 3; }, 5000));
  std::thread deck([this] {
    if (pty_.ReadFrame(2000) == Bytes{0x61, 0x20, 0x03, 0x84}) {
      pty_.Write({0x73, 0x20, 0x00, 0xA0, 0x02, 0x35, 0x10, 0x01});  // and two stray bytes
    }
  });
  Bytes reply;
  EXPECT_TRUE(controller_.Transact({0x61, 0x20, 0x03, 0x84}, 2000, &reply));
  deck.join();
  EXPECT_EQ(reply, (Bytes{0x73, 0x20, 0x00, 0xA0, 0x02, 0x35}));
}

TEST_F(EditControllerTest, NoReplyWithinTheWaitGivesNothing) {
  Bytes reply = {0xFF};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(controller_.Transact({0x20, 0x01, 0x21}, 80, &reply));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(reply.empty());
  EXPECT_GE(waited, std::chrono::milliseconds(75));
  EXPECT_EQ(pty_.ReadFrame(1000), (Bytes{0x20, 0x01, 0x21}));
}

TEST_F(EditControllerTest, ReplyThatStopsShortIsReturnedShort) {
  std::thread deck([this] {
    pty_.ReadFrame(2000);
    pty_.Write({0x74, 0x04, 0x00});
  });
  Bytes reply;
  EXPECT_TRUE(controller_.Transact({0x61, 0x0C, 0x01, 0x6E}, 2000, &reply));
  deck.join();
  EXPECT_EQ(reply, (Bytes{0x74, 0x04, 0x00}));
}

}  // namespace
}  // namespace vxr::vxrctl
