#pragma once

#include <string_view>

namespace vxr {

// One file of the deck's page, compiled into the program (web/page/).
struct WebPageFile {
  std::string_view path;  // "/", "/app.js", ...
  std::string_view type;  // its Content-Type
  std::string_view body;
};

// The page's file at path; null for none.
const WebPageFile* FindWebPageFile(std::string_view path);

}  // namespace vxr
