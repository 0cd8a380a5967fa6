#include "app/remote_port_text.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

TEST(RemotePortTextTest, EachRefusalSaysWhyInTheUsersWords) {
  const PortRights allowed;
  const PortRights dialout{true, "dialout"};
  const PortRights no_group{true, ""};
  const std::string com1 = "vxrdeck: REMOTE cannot open port COM1 (/dev/ttyS0): ";
  const HRESULT denied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  EXPECT_EQ(RemoteFailedText("vxrdeck", "COM1", denied, dialout),
            com1 + "permission denied — is the user in group dialout?");
  EXPECT_EQ(RemoteFailedText("vxrdeck", "COM1", denied, no_group),
            com1 + "permission denied — the user may not read and write it");
  EXPECT_EQ(RemoteFailedText("vxrdeck", "COM1", denied, allowed),
            com1 + "busy — another program has the port open");
  EXPECT_EQ(
      RemoteFailedText("deck", "ttyUSB0", HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION), allowed),
      "deck: REMOTE cannot open port ttyUSB0 (/dev/ttyUSB0): not a serial port");
  EXPECT_EQ(RemoteFailedText("vxrdeck", "", E_POINTER, allowed),
            "vxrdeck: REMOTE cannot open port (no name): no port name is set — choose one in "
            "SETTINGS");
  EXPECT_EQ(RemoteFailedText("vxrdeck", "/dev/x", static_cast<HRESULT>(0x80070079u), allowed),
            "vxrdeck: REMOTE cannot open port /dev/x: error 0x80070079");
}

}  // namespace
}  // namespace vxr
