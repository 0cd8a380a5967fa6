#pragma once

#include <QImage>
#include <string>

namespace vxr {

// Draws the deck's default skin (a broadcast VTR face) and the application icon with Qt's
// painter, and writes them: the skin file with its 24-bit bitmaps in a subfolder named by a
// "path" line, the icon as 32 x 32 and 16 x 16 PNG files with a Qt resource list.
class CSkinGenerator {
 public:
  static constexpr const char* kSkinFileName = "vxrdeck.skn";
  static constexpr const char* kImageFolder = "vxrdeck_skin";
  static constexpr const char* kIconResourceFile = "vxrdeck_icons.qrc";

  // Writes <directory>/vxrdeck.skn and <directory>/vxrdeck_skin/*.bmp; false with a reason.
  bool WriteSkin(const std::string& directory, std::string* error) const;
  // Writes <directory>/vxrdeck_32.png, vxrdeck_16.png and vxrdeck_icons.qrc.
  bool WriteIcons(const std::string& directory, std::string* error) const;

  // The pictures themselves, for looking at and for tests.
  QImage Background() const;
  QImage Icon(int size) const;
};

}  // namespace vxr
