#include "vboard/server/tml_project.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "player/clv_results.h"

namespace vxr {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Well-formed UTF-8 without control characters other than tab.
bool CleanUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
      ++i;
      continue;
    }
    int more = 0;
    std::uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
      more = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(more) >= text.size()) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

bool ParseFrame(std::string_view word, std::uint32_t* frame) {
  if (word.empty() || word.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFEu) return false;
  *frame = static_cast<std::uint32_t>(value);
  return true;
}

// Splits one line into its path and up to two numbers; false with a reason on a fault.
bool ParseClipLine(std::string_view line, TmlClip* clip, std::string* path, std::string* reason) {
  std::size_t i = 0;
  if (line[i] == '"') {
    const std::size_t close = line.find('"', 1);
    if (close == std::string_view::npos) {
      *reason = "the quoted path has no closing quote";
      return false;
    }
    *path = std::string(line.substr(1, close - 1));
    i = close + 1;
    if (i < line.size() && !IsBlank(line[i]) && line[i] != '#') {
      *reason = "text right after the quoted path";
      return false;
    }
  } else {
    while (i < line.size() && !IsBlank(line[i])) ++i;
    *path = std::string(line.substr(0, i));
  }
  if (path->empty()) {
    *reason = "empty path";
    return false;
  }
  std::uint32_t numbers[2] = {0, 0};
  int count = 0;
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#') break;
    std::size_t end = i;
    while (end < line.size() && !IsBlank(line[end]) && line[end] != '#') ++end;
    const std::string_view word = line.substr(i, end - i);
    if (count == 2) {
      *reason = "unexpected text \"" + std::string(word) + "\" after the out frame";
      return false;
    }
    if (!ParseFrame(word, &numbers[count])) {
      *reason = "\"" + std::string(word) + "\" is not a frame number";
      return false;
    }
    ++count;
    i = end;
  }
  if (count >= 1) clip->in_frame = numbers[0];
  if (count == 2) {
    if (numbers[1] < numbers[0]) {
      *reason = "the out frame comes before the in frame";
      return false;
    }
    clip->out_frame = numbers[1];
  }
  return true;
}

}  // namespace

bool ParseTmlProject(std::string_view text, const std::string& folder, std::vector<TmlClip>* clips,
                     std::string* error) {
  if (text.size() > kMaxTmlBytes) {
    *error = "line 1: the project is larger than " + std::to_string(kMaxTmlBytes) + " bytes";
    return false;
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<TmlClip> found;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto fail = [&](const std::string& reason) {
      *error = "line " + std::to_string(number) + ": " + reason;
      return false;
    };
    if (!CleanUtf8(line)) return fail("not UTF-8 text, or a control character");
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    if (found.size() == kMaxTmlClips) {
      return fail("more than " + std::to_string(kMaxTmlClips) + " clips");
    }
    TmlClip clip;
    clip.line = number;
    std::string path, reason;
    if (!ParseClipLine(line, &clip, &path, &reason)) return fail(reason);
    clip.path = path.front() == '/' ? path : folder + path;
    found.push_back(std::move(clip));
  }
  if (found.empty()) {
    *error = "line " + std::to_string(number) + ": the project names no clip";
    return false;
  }
  clips->insert(clips->end(), found.begin(), found.end());
  return true;
}

HRESULT ReadTmlProject(const std::string& path, std::vector<TmlClip>* clips, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    *error = "cannot find the project";
    return errno == EACCES ? HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
                           : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "not a file";
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) {
    *error = "cannot read the project";
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  std::string text;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
    if (text.size() > kMaxTmlBytes) break;  // ParseTmlProject refuses it
  }
  if (std::ferror(file.get())) {
    *error = "cannot read the project";
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  return ParseTmlProject(text, folder, clips, error) ? S_OK : CLV_E_BAD_PROJECT;
}

}  // namespace vxr
