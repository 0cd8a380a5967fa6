#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vxr {

// Where the control server listens: an IPv4 address and a port.
struct ControlEndpoint {
  static constexpr int kDefaultPort = 9993;
  static constexpr const char* kDefaultAddress = "127.0.0.1";
  std::string address = kDefaultAddress;
  int port = kDefaultPort;
};

// Reads "[ADDR:]PORT" (or "ADDR:" for the default port); false with a one-line reason.
bool ParseControlEndpoint(std::string_view text, ControlEndpoint* endpoint, std::string* error);
// Whether an IPv4 address in dotted form is a loopback address (127.0.0.0/8).
bool IsLoopbackAddress(std::string_view address);

// The client networks a control server on another address than loopback accepts: IPv4
// networks as "10.0.0.0/8" or single addresses, given as a comma-separated list.
class CAllowList {
 public:
  // False with a one-line reason for a malformed entry.
  bool Parse(std::string_view text, std::string* error);
  bool Empty() const { return networks_.empty(); }
  // Host byte order.
  bool Allows(std::uint32_t address) const;

 private:
  struct Network {
    std::uint32_t base;
    std::uint32_t mask;
  };
  std::vector<Network> networks_;
};

// The checks made at start: the endpoint's address is loopback, or an allow-list is given.
bool CheckControlAccess(const ControlEndpoint& endpoint, const CAllowList& allow,
                        std::string* error);

}  // namespace vxr
