// Any skin text with any bitmap bytes: the loader gives success with an empty message or one of
// its own messages, terminated and within the caller's buffer, and nothing else happens. What
// it built, complete or not, is then used as the panel uses it: texts fitted to the labels with
// their fonts, a time set and composed, lamps switched, and the panel painted.
#include <QApplication>
#include <QImage>
#include <QRegion>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "panel/skin_dialog.h"

// Fontconfig keeps a cache that it frees only when the process ends; the leak checker is told
// about that one library, nothing else.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

// The input is the skin text, then the bitmap files 1.bmp to 4.bmp, separated by this mark.
// The last one is also written as the ten digits tc0.bmp to tc9.bmp, so that a timecode
// record ("T0 0 0 1.bmp tc0.bmp 2.bmp 3.bmp") can load.
constexpr std::string_view kMark = "|BMP|";
constexpr int kBitmaps = 4;
constexpr std::size_t kErrorSize = 100;
constexpr std::size_t kSentinelBytes = 28;
// The painted part of the panel: enough to reach every control a small skin places.
constexpr int kPaintWidth = 160;
constexpr int kPaintHeight = 120;
// A text longer than any label shows, so that the fit search runs.
constexpr const char* kLongText = "C:\\tapes\\a rather long folder name\\and a long tape name.avi";

const char* const kMessages[] = {
    "Can not open skin file '",        "Skin has not background image (keyword : 'base')",
    "Can not load background image '", "Can not load button # ",
    "Can not load indicator # ",       "Can not load label # ",
    "Can not load time code",
};

[[noreturn]] void Fault(const char* what, const char* text) {
  std::fprintf(stderr, "skin: %s: \"%s\"\n", what, text);
  std::abort();
}

// What the panel does with a loaded skin, on whatever the loader built.
void Use(vxr::CSkinDialog& dialog) {
  for (int i = 0; i < vxr::CSkinDialog::kControlsPerKind; ++i) {
    dialog.Label(i).SetText(kLongText, true);
    dialog.Button(i).SetLamp(true);
    dialog.Button(i).SetPressed(true);
    dialog.Indicator(i).SetLamp(true);
  }
  dialog.Timecode().SetTime(-1, 2, 3, 4);
  vxr::SkinImage readout;
  dialog.Timecode().Compose(&readout);
  // Painted through the widgets' own paint handlers, bounded to a small part of the panel.
  QImage image(kPaintWidth, kPaintHeight, QImage::Format_RGB32);
  dialog.render(&image, QPoint(), QRegion(0, 0, kPaintWidth, kPaintHeight));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QApplication* app = new QApplication(*argc, *argv);
  (void)app;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  const std::string& folder = vxr::fuzz::WorkFolder();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view parts[1 + kBitmaps];
  int count = 0;
  for (; count < 1 + kBitmaps; ++count) {
    const std::size_t mark = count < kBitmaps ? input.find(kMark) : std::string_view::npos;
    parts[count] = input.substr(0, mark);
    if (mark == std::string_view::npos) {
      ++count;
      break;
    }
    input.remove_prefix(mark + kMark.size());
  }
  const std::string skin = folder + "fuzz.skn";
  vxr::fuzz::WriteWholeFile(skin, reinterpret_cast<const std::uint8_t*>(parts[0].data()),
                            parts[0].size());
  auto write_or_remove = [&](const std::string& name, int part) {
    const std::string bitmap = folder + name;
    if (part < count) {
      vxr::fuzz::WriteWholeFile(bitmap, reinterpret_cast<const std::uint8_t*>(parts[part].data()),
                                parts[part].size());
    } else {
      std::remove(bitmap.c_str());
    }
  };
  for (int i = 1; i <= kBitmaps; ++i) write_or_remove(std::to_string(i) + ".bmp", i);
  for (int digit = 0; digit <= 9; ++digit) {
    write_or_remove("tc" + std::to_string(digit) + ".bmp", kBitmaps);
  }

  char error[kErrorSize + kSentinelBytes];
  std::memset(error, 0x5A, sizeof error);
  int result;
  {
    vxr::CSkinDialog dialog;
    result = dialog.ParseSkin(skin, error, kErrorSize);
    Use(dialog);
  }
  for (std::size_t i = kErrorSize; i < sizeof error; ++i) {
    if (error[i] != 0x5A) Fault("written past the message buffer", "");
  }
  if (std::memchr(error, '\0', kErrorSize) == nullptr) Fault("message not terminated", "");
  if (result == 0) {
    if (error[0] != '\0') Fault("success with a message", error);
    return 0;
  }
  // The message is cut to the buffer, only between UTF-8 characters: a run of stray
  // continuation bytes at the cut goes whole. A message that fits comes whole.
  const std::size_t length = std::strlen(error);
  const std::size_t whole = result > 0 ? static_cast<std::size_t>(result) - 1 : 0;
  if (result < 2 || length > std::min(whole, kErrorSize - 1) ||
      (whole < kErrorSize && length != whole)) {
    Fault("result does not match the message", error);
  }
  bool known = false;
  for (const char* message : kMessages) {
    const std::size_t prefix = std::min(std::strlen(message), length);
    known = known || std::strncmp(error, message, prefix) == 0;
  }
  if (!known) Fault("a message the loader does not have", error);
  return 0;
}
