#include "app/http_settings.h"

#include <sstream>

#include "netctl/control_address.h"
#include "web/web_access.h"

namespace vxr {
namespace {

constexpr const char* kListenKey = "listen";
constexpr const char* kTokenFileKey = "token_file";
constexpr const char* kHostsKey = "hosts";

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, ',')) {
    const std::size_t start = part.find_first_not_of(' ');
    const std::size_t end = part.find_last_not_of(' ');
    if (start != std::string::npos) parts.push_back(part.substr(start, end - start + 1));
  }
  return parts;
}

}  // namespace

bool ReadHttpSettings(const DeckOptions& options, const CConfigStore& config,
                      HttpSettings* settings, std::string* error) {
  HttpSettings read;
  const std::string listen =
      options.http ? *options.http : config.Read(kHttpSection, kListenKey, std::string());
  read.enabled = options.http.has_value() || !listen.empty();
  if (!read.enabled) {
    *settings = std::move(read);
    return true;
  }
  const std::string origin =
      options.http ? std::string("--http") : config.FilePath() + " [Http] listen=";
  ControlEndpoint endpoint;
  std::string why;
  if (!ParseControlEndpoint(listen, &endpoint, &why) || listen.back() == ':') {
    if (why.rfind("control ", 0) == 0) why.erase(0, std::string("control ").size());
    *error = origin + ": '" + listen + "' is not [ADDR:]PORT" + (why.empty() ? "" : ": " + why);
    return false;
  }
  read.address = endpoint.address;
  read.port = endpoint.port;
  const std::string token_file = config.Read(kHttpSection, kTokenFileKey, std::string());
  if (!token_file.empty() && !ReadTokenFile(token_file, &read.token, &why)) {
    *error = config.FilePath() + " [Http] token_file=: " + why;
    return false;
  }
  if (read.token.empty() && !IsLoopbackAddress(read.address)) {
    *error = origin + ": the web server on " + read.address +
             " would be open to the network without a token: name a token file (readable by "
             "its owner only) with [Http] token_file= in " +
             config.FilePath() + ", or listen on 127.0.0.1";
    return false;
  }
  read.host_names = SplitCommas(config.ReadCommaList(kHttpSection, kHostsKey, std::string()));
  *settings = std::move(read);
  return true;
}

}  // namespace vxr
