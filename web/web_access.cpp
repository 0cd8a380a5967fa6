#include "web/web_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace vxr {
namespace {

constexpr mode_t kOthersMask = S_IRWXG | S_IRWXO;
constexpr std::size_t kMaxTokenBytes = 4096;
constexpr std::string_view kHttpScheme = "http://";

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// The host part of a Host header: "[::1]:80" gives "[::1]", "name:80" gives "name".
std::string_view HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t end = host.find(']');
    return end == std::string_view::npos ? std::string_view() : host.substr(0, end + 1);
  }
  const std::size_t colon = host.rfind(':');
  return colon == std::string_view::npos ? host : host.substr(0, colon);
}

bool IsIpv4Literal(std::string_view name) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (const char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
    ++parts;
    start = end + 1;
  }
  return parts == 4;
}

bool IsIpv6Literal(std::string_view name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return false;
  return std::all_of(name.begin() + 1, name.end() - 1, [](char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
  });
}

}  // namespace

bool ReadTokenFile(const std::string& path, std::string* token, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = "cannot open the token file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  std::string text;
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok) {
    *error = "cannot read the token file " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *error = "the token file " + path + " is not a regular file";
    ok = false;
  } else if (info.st_uid != ::geteuid()) {
    *error = "the token file " + path + " belongs to another user";
    ok = false;
  } else if ((info.st_mode & kOthersMask) != 0) {
    *error = "the token file " + path +
             " may be read or written by others: make it readable by its owner only "
             "(chmod 600)";
    ok = false;
  } else {
    std::array<char, kMaxTokenBytes + 1> buffer{};
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      *error = "cannot read the token file " + path + ": " + std::strerror(errno);
      ok = false;
    } else if (static_cast<std::size_t>(got) > kMaxTokenBytes) {
      *error = "the token file " + path + " is longer than a token";
      ok = false;
    } else {
      text.assign(buffer.data(), static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  if (!ok) return false;
  const std::string_view trimmed = Trim(text);
  if (trimmed.empty()) {
    *error = "the token file " + path + " is empty";
    return false;
  }
  if (!std::all_of(trimmed.begin(), trimmed.end(),
                   [](unsigned char c) { return c > ' ' && c < 0x7F; })) {
    *error = "the token file " + path + " holds more than one printable word";
    return false;
  }
  *token = std::string(trimmed);
  return true;
}

bool SameToken(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    const char other = expected.empty() ? '\0' : expected[i % expected.size()];
    difference |= static_cast<unsigned char>(given[i] ^ other);
  }
  return difference == 0 && !expected.empty();
}

bool HostAllowed(std::string_view host, const std::vector<std::string>& names) {
  const std::string name = Lower(HostName(Trim(host)));
  if (name.empty()) return false;
  if (name == "localhost" || IsIpv4Literal(name) || IsIpv6Literal(name)) return true;
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& allowed) { return Lower(allowed) == name; });
}

bool SameOrigin(std::string_view origin, std::string_view sec_fetch_site, std::string_view host) {
  origin = Trim(origin);
  if (origin.empty()) {
    const std::string site = Lower(Trim(sec_fetch_site));
    return site.empty() || site == "same-origin" || site == "none";
  }
  const std::string expected = std::string(kHttpScheme) + Lower(Trim(host));
  return Lower(origin) == expected;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find(';', start);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view pair = Trim(header.substr(start, end - start));
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && Trim(pair.substr(0, equals)) == name) {
      return std::string(Trim(pair.substr(equals + 1)));
    }
    start = end + 1;
  }
  return std::string();
}

}  // namespace vxr
