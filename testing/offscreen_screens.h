#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <fstream>
#include <string>

namespace vxr::testing {

// Two screens on Qt's offscreen platform, as on a desk with a second monitor: "left" 1280x720,
// and "right" 1920x1080 beside it.
inline constexpr const char* kTwoScreensJson =
    R"({"screens": [{"name": "left", "x": 0, "y": 0, "width": 1280, "height": 720},)"
    R"( {"name": "right", "x": 1280, "y": 0, "width": 1920, "height": 1080}]})";

// Writes the two screens' platform configuration at path; the platform to ask for.
inline std::string WriteTwoScreenPlatform(const std::string& path) {
  std::ofstream(path) << kTwoScreensJson;
  return "offscreen:configfile=" + path;
}

// The test program's one QApplication; offscreen (the tests' default) gets the two screens.
inline QApplication& TwoScreenApplication() {
  static QApplication* app = [] {
    const char* platform = ::getenv("QT_QPA_PLATFORM");
    const std::string path = "/tmp/vxr-two-screens-" + std::to_string(::getpid()) + ".json";
    if (platform == nullptr || std::string(platform) == "offscreen") {
      ::setenv("QT_QPA_PLATFORM", WriteTwoScreenPlatform(path).c_str(), 1);
    }
    static int argc = 1;
    static char name[] = "vxr_tests";
    static char* argv[] = {name, nullptr};
    auto* application = new QApplication(argc, argv);
    ::unlink(path.c_str());  // read once, when the platform starts
    return application;
  }();
  return *app;
}

}  // namespace vxr::testing
