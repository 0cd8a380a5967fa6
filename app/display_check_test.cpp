#include "app/display_check.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <set>
#include <string>

namespace vxr {
namespace {

// Sockets that answer in a test: those listed.
struct Sockets {
  std::set<std::string> answering;
  std::set<std::string> tried;
  bool operator()(const std::string& name) {
    tried.insert(name);
    return answering.count(name) != 0;
  }
};

std::string Reason(const DisplayEnvironment& environment, Sockets& sockets) {
  return NoDisplayReason(environment,
                         [&sockets](const std::string& name) { return sockets(name); });
}

TEST(DisplayCheckTest, X11NeedsADisplayThatAnswers) {
  Sockets none;
  EXPECT_EQ(Reason({"", "", "", ""}, none), "DISPLAY is not set");
  EXPECT_EQ(Reason({"xcb", "", "", ""}, none), "DISPLAY is not set");
  EXPECT_EQ(Reason({"", ":7", "", ""}, none), "nothing answers on DISPLAY :7");
  EXPECT_EQ(none.tried,
            (std::set<std::string>{"@/tmp/.X11-unix/X7", "/tmp/.X11-unix/X7", "tcp:6007"}));

  Sockets abstract{{"@/tmp/.X11-unix/X0"}, {}};
  EXPECT_EQ(Reason({"", ":0.0", "", ""}, abstract), "");
  Sockets path{{"/tmp/.X11-unix/X12"}, {}};
  EXPECT_EQ(Reason({"xcb:nograb", "unix:12", "", ""}, path), "");
  Sockets tcp{{"tcp:6001"}, {}};
  EXPECT_EQ(Reason({"", ":1", "", ""}, tcp), "");
  // A display on another host (ssh forwarding) is left to Qt.
  EXPECT_EQ(Reason({"", "localhost:10.0", "", ""}, none), "");
}

TEST(DisplayCheckTest, OffscreenNeedsNoneAndAListNeedsOneThatStarts) {
  Sockets none;
  EXPECT_EQ(Reason({"offscreen", "", "", ""}, none), "");
  EXPECT_EQ(Reason({"xcb;offscreen", "", "", ""}, none), "");
  EXPECT_EQ(Reason({"wayland;xcb", "", "", "/run/user/1"}, none),
            "nothing answers on WAYLAND_DISPLAY wayland-0");
  Sockets wayland{{"/run/user/1/wayland-1"}, {}};
  EXPECT_EQ(Reason({"wayland", "", "wayland-1", "/run/user/1"}, wayland), "");
}

TEST(DisplayCheckTest, ALocalSocketAnswersOnlyWhileSomeoneListens) {
  for (const std::string& name : {std::string("/tmp/vxr-display-") + std::to_string(::getpid()),
                                  std::string("@vxr-display-") + std::to_string(::getpid())}) {
    EXPECT_FALSE(LocalSocketAnswers(name)) << name;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name.front() == '@') address.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                               (name.front() == '@' ? 0 : 1));
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), length), 0) << name;
    ASSERT_EQ(::listen(fd, 1), 0);
    EXPECT_TRUE(LocalSocketAnswers(name)) << name;
    ::close(fd);
    if (name.front() == '/') ::unlink(name.c_str());
  }
}

}  // namespace
}  // namespace vxr
