#pragma once

#include <string>
#include <vector>

#include "app/config_store.h"
#include "app/deck_options.h"

namespace vxr {

// The web server of a run: its address, its token and the host names it answers to. The
// command line's --http wins over the INI's [Http] listen=; the token is read from the file
// named by [Http] token_file= (readable by its owner only), the extra host names from
// [Http] hosts= (comma-separated; IP addresses and localhost are always accepted).
struct HttpSettings {
  bool enabled = false;  // --http given, or [Http] listen= set
  std::string address = "127.0.0.1";
  int port = 0;
  std::string token;  // empty: none asked for
  std::vector<std::string> host_names;
};

inline constexpr const char* kHttpSection = "Http";

// False with a one-line reason (the program then ends with exit code 2): a malformed address, a
// token file that cannot be read or that others may read, or an address other than loopback
// without a token. Nothing is read when the web server is not asked for.
bool ReadHttpSettings(const DeckOptions& options, const CConfigStore& config,
                      HttpSettings* settings, std::string* error);

}  // namespace vxr
