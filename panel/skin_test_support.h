#pragma once

// Helpers shared by the panel's tests: a Qt application, temporary skin folders and images
// whose pixels say where they came from.

#include <QApplication>
#include <QTemporaryDir>
#include <cstdint>
#include <fstream>
#include <string>

#include "panel/skin_image.h"

namespace vxr::testing {

inline void EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "panel_tests";
  static char* argv[] = {name, nullptr};
  // Lives until the process ends; Qt's own statics outlive it safely that way.
  static QApplication* app = new QApplication(argc, argv);
  (void)app;
}

// A member to declare before any widget member of a fixture.
struct QtApplicationGuard {
  QtApplicationGuard() { EnsureQtApplication(); }
};

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

// An image of one colour.
inline SkinImage SolidImage(int width, int height, Rgb colour) {
  SkinImage image;
  image.Allocate(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.PixelAt(x, y);
      p[0] = colour.b;
      p[1] = colour.g;
      p[2] = colour.r;
    }
  }
  return image;
}

// An image whose pixel (x, y) is (x, y, tag): a copy shows where each pixel came from.
inline SkinImage CoordinateImage(int width, int height, std::uint8_t tag) {
  SkinImage image;
  image.Allocate(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = image.PixelAt(x, y);
      p[2] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[0] = tag;
    }
  }
  return image;
}

inline Rgb PixelOf(const SkinImage& image, int x, int y) {
  const std::uint8_t* p = image.PixelAt(x, y);
  return Rgb{p[2], p[1], p[0]};
}

// A temporary folder that skins and images are written into.
class SkinFolder {
 public:
  std::string Dir() const { return dir_.path().toStdString() + "/"; }
  std::string Path(const std::string& name) const { return Dir() + name; }

  void WriteImage(const std::string& name, const SkinImage& image) const {
    WriteImageBytes(Path(name), image);
  }
  void WriteSolid(const std::string& name, int width, int height, Rgb colour) const {
    WriteImage(name, SolidImage(width, height, colour));
  }
  void WriteText(const std::string& name, const std::string& text) const {
    std::ofstream out(Path(name), std::ios::binary);
    out << text;
  }

 private:
  static void WriteImageBytes(const std::string& path, const SkinImage& image) {
    WriteBitmapFile(path, image);
  }
  QTemporaryDir dir_;
};

}  // namespace vxr::testing

#include <QTest>
#include <QWidget>
#include <QWindow>
#include <vector>

#include "panel/skin_control.h"

namespace vxr::testing {

// A stand-in panel that records the commands its controls send.
class CommandRecorder : public QWidget, public ISkinCommandTarget {
 public:
  CommandRecorder() { resize(300, 200); }
  bool OnCommand(int id) override {
    ids.push_back(id);
    return true;
  }
  std::vector<int> ids;
};

// Shows a top-level widget and waits until it is exposed, so that repaints really paint.
inline bool ShowExposed(QWidget* widget) {
  widget->show();
  return QTest::qWaitForWindowExposed(widget);
}

// The colour at (x, y) of what the widget paints.
inline QColor GrabbedColour(QWidget* widget, int x, int y) {
  return widget->grab().toImage().pixelColor(x, y);
}

// Window-level mouse events, so that Qt's implicit grab takes part; points are in the top-level
// window's coordinates.
inline void PressAt(QWidget* top, QPoint point) {
  QTest::mousePress(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, point);
}
inline void ReleaseAt(QWidget* top, QPoint point) {
  QTest::mouseRelease(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, point);
}

}  // namespace vxr::testing
