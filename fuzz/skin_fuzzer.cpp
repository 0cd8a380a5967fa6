// Any skin text with any bitmap bytes: the loader gives success with an empty message or one of
// its own messages, terminated and within the caller's buffer, and nothing else happens.
#include <QApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "panel/skin_dialog.h"

namespace {

// The input is the skin text, then the bitmap files 1.bmp to 4.bmp, separated by this mark.
constexpr std::string_view kMark = "|BMP|";
constexpr int kBitmaps = 4;
constexpr std::size_t kErrorSize = 100;
constexpr std::size_t kSentinelBytes = 28;

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
  for (int i = 1; i <= kBitmaps; ++i) {
    const std::string bitmap = folder + std::to_string(i) + ".bmp";
    if (i < count) {
      vxr::fuzz::WriteWholeFile(bitmap, reinterpret_cast<const std::uint8_t*>(parts[i].data()),
                                parts[i].size());
    } else {
      std::remove(bitmap.c_str());
    }
  }

  char error[kErrorSize + kSentinelBytes];
  std::memset(error, 0x5A, sizeof error);
  int result;
  {
    vxr::CSkinDialog dialog;
    result = dialog.ParseSkin(skin, error, kErrorSize);
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
