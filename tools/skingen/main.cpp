// skingen: draws the deck's default skin and its icon.
//   skingen [--skin DIR] [--icons DIR]
// --skin writes DIR/vxrdeck.skn and its bitmaps in DIR/vxrdeck_skin; --icons writes the icon's
// PNG files and a Qt resource list into DIR. Runs without a display (offscreen).

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/skingen/skin_generator.h"

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QGuiApplication app(argc, argv);
  std::string skin_dir, icon_dir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--skin") == 0 && i + 1 < argc) {
      skin_dir = argv[++i];
    } else if (std::strcmp(argv[i], "--icons") == 0 && i + 1 < argc) {
      icon_dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: skingen [--skin DIR] [--icons DIR]\n");
      return 2;
    }
  }
  if (skin_dir.empty() && icon_dir.empty()) {
    std::fprintf(stderr, "usage: skingen [--skin DIR] [--icons DIR]\n");
    return 2;
  }
  const vxr::CSkinGenerator generator;
  std::string error;
  if (!skin_dir.empty() && !generator.WriteSkin(skin_dir, &error)) {
    std::fprintf(stderr, "skingen: %s\n", error.c_str());
    return 1;
  }
  if (!icon_dir.empty() && !generator.WriteIcons(icon_dir, &error)) {
    std::fprintf(stderr, "skingen: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
