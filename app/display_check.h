#pragma once

#include <functional>
#include <string>

namespace vxr {

// What decides whether the windowing system can be reached: the platform Qt will load and the
// variables that tell it where the display is.
struct DisplayEnvironment {
  std::string platform;         // QT_QPA_PLATFORM; empty for Qt's default (X11 here)
  std::string display;          // DISPLAY
  std::string wayland_display;  // WAYLAND_DISPLAY
  std::string runtime_dir;      // XDG_RUNTIME_DIR
};

DisplayEnvironment DisplayEnvironmentFromProcess();

// Whether a stream socket on this machine answers: a socket file, an abstract socket ("@name")
// or a TCP port on the loopback address ("tcp:6000").
bool LocalSocketAnswers(const std::string& name);

// Why no display can be reached, in the user's words ("DISPLAY is not set"), or empty when the
// platform needs none (offscreen) or a display answers. A display on another host is left to
// Qt. connects says whether a local socket answers (LocalSocketAnswers in the program).
std::string NoDisplayReason(const DisplayEnvironment& environment,
                            const std::function<bool(const std::string&)>& connects);

// The one line the program prints before it ends with exit code 1 when there is no display; it
// names the headless mode.
std::string NoDisplayText(const std::string& app_name, const std::string& reason);

}  // namespace vxr
