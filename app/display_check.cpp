#include "app/display_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vxr {
namespace {

// Qt's platform when QT_QPA_PLATFORM is unset on this system.
constexpr std::string_view kDefaultPlatform = "xcb";
constexpr std::string_view kX11SocketFolder = "/tmp/.X11-unix/X";
constexpr std::string_view kDefaultWaylandDisplay = "wayland-0";
constexpr std::string_view kLoopbackPrefix = "tcp:";
constexpr int kX11TcpPortBase = 6000;
constexpr std::size_t kMaxDisplayDigits = 5;  // display numbers beyond cannot be a TCP port

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : std::string();
}

// Why the X11 display named by display cannot be reached; empty when it answers or is on
// another host.
std::string X11Reason(const std::string& display,
                      const std::function<bool(const std::string&)>& connects) {
  if (display.empty()) return "DISPLAY is not set";
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return "DISPLAY " + display + " names no display";
  const std::string host = display.substr(0, colon);
  std::string number;
  for (std::size_t i = colon + 1;
       i < display.size() && std::isdigit(static_cast<unsigned char>(display[i])); ++i) {
    number += display[i];
  }
  if (number.empty()) return "DISPLAY " + display + " names no display";
  if (!host.empty() && host != "unix") {
    // A display path of its own (launchd style), else another host: Qt finds out.
    if (host.front() != '/' || connects(host + ":" + number)) return std::string();
    return "nothing answers on DISPLAY " + display;
  }
  // As the X library does: the abstract socket, the socket file, then TCP on this machine.
  const std::string path = std::string(kX11SocketFolder) + number;
  if (connects("@" + path) || connects(path)) return std::string();
  if (number.size() < kMaxDisplayDigits &&
      connects(std::string(kLoopbackPrefix) +
               std::to_string(kX11TcpPortBase + std::stoi(number)))) {
    return std::string();
  }
  return "nothing answers on DISPLAY " + display;
}

std::string WaylandReason(const DisplayEnvironment& environment,
                          const std::function<bool(const std::string&)>& connects) {
  const std::string name = environment.wayland_display.empty() ? std::string(kDefaultWaylandDisplay)
                                                               : environment.wayland_display;
  std::string path = name;
  if (name.front() != '/') {
    if (environment.runtime_dir.empty()) return "XDG_RUNTIME_DIR is not set for Wayland";
    path = environment.runtime_dir + "/" + name;
  }
  if (connects(path)) return std::string();
  return "nothing answers on WAYLAND_DISPLAY " + name;
}

// The reason for one platform name of QT_QPA_PLATFORM (options after ':' dropped).
std::string PlatformReason(std::string_view platform, const DisplayEnvironment& environment,
                           const std::function<bool(const std::string&)>& connects) {
  platform = platform.substr(0, platform.find(':'));
  if (platform == "xcb") return X11Reason(environment.display, connects);
  if (platform.rfind("wayland", 0) == 0) return WaylandReason(environment, connects);
  // offscreen, minimal, eglfs, linuxfb, vnc...: no display server to reach.
  return std::string();
}

}  // namespace

DisplayEnvironment DisplayEnvironmentFromProcess() {
  return DisplayEnvironment{Variable("QT_QPA_PLATFORM"), Variable("DISPLAY"),
                            Variable("WAYLAND_DISPLAY"), Variable("XDG_RUNTIME_DIR")};
}

bool LocalSocketAnswers(const std::string& name) {
  if (name.rfind(kLoopbackPrefix, 0) == 0) {
    const int port = std::atoi(name.c_str() + kLoopbackPrefix.size());
    if (port <= 0 || port > UINT16_MAX) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name.front() == '@') {
    address.sun_path[0] = '\0';  // abstract namespace: no terminator counted
  } else {
    length += 1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  ::close(fd);
  return answers;
}

std::string NoDisplayReason(const DisplayEnvironment& environment,
                            const std::function<bool(const std::string&)>& connects) {
  // Qt tries the platforms of a list in order: one that can start is enough.
  std::string_view list = environment.platform;
  if (list.empty()) list = kDefaultPlatform;
  std::string first_reason;
  while (true) {
    const std::size_t semicolon = list.find(';');
    const std::string reason = PlatformReason(list.substr(0, semicolon), environment, connects);
    if (reason.empty()) return std::string();
    if (first_reason.empty()) first_reason = reason;
    if (semicolon == std::string_view::npos) return first_reason;
    list.remove_prefix(semicolon + 1);
  }
}

std::string NoDisplayText(const std::string& app_name, const std::string& reason) {
  return app_name + ": no display found (" + reason + "); to run without one: " + app_name +
         " --headless --port NAME --tape PATH";
}

}  // namespace vxr
