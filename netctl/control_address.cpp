#include "netctl/control_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace vxr {
namespace {

constexpr int kMaxPort = 65535;
constexpr int kAddressBits = 32;
constexpr std::uint32_t kLoopbackNet = 0x7F000000u;
constexpr std::uint32_t kLoopbackMask = 0xFF000000u;

bool ParseAddress(std::string_view text, std::uint32_t* address) {
  const std::string copy(text);
  in_addr parsed{};
  if (inet_pton(AF_INET, copy.c_str(), &parsed) != 1) return false;
  *address = ntohl(parsed.s_addr);
  return true;
}

bool ParseNumber(std::string_view text, int minimum, int maximum, int* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
         *value >= minimum && *value <= maximum;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

bool ParseControlEndpoint(std::string_view text, ControlEndpoint* endpoint, std::string* error) {
  ControlEndpoint parsed;
  const std::size_t colon = text.rfind(':');
  std::string_view port_text = text;
  if (colon != std::string_view::npos) {
    parsed.address = std::string(text.substr(0, colon));
    port_text = text.substr(colon + 1);
    std::uint32_t address = 0;
    if (!ParseAddress(parsed.address, &address)) {
      *error = "control address '" + parsed.address + "' is not an IPv4 address";
      return false;
    }
  }
  if (!port_text.empty() && !ParseNumber(port_text, 0, kMaxPort, &parsed.port)) {
    *error = "control port '" + std::string(port_text) + "' is not a port number (0-65535)";
    return false;
  }
  *endpoint = parsed;
  return true;
}

bool IsLoopbackAddress(std::string_view address) {
  std::uint32_t value = 0;
  return ParseAddress(address, &value) && (value & kLoopbackMask) == kLoopbackNet;
}

bool CAllowList::Parse(std::string_view text, std::string* error) {
  std::vector<Network> networks;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (entry.empty()) continue;
    const std::size_t slash = entry.find('/');
    int bits = kAddressBits;
    std::uint32_t base = 0;
    if (!ParseAddress(entry.substr(0, slash), &base) ||
        (slash != std::string_view::npos &&
         !ParseNumber(entry.substr(slash + 1), 0, kAddressBits, &bits))) {
      *error = "control allow-list entry '" + std::string(entry) +
               "' is not an IPv4 network (e.g. 10.0.0.0/8)";
      return false;
    }
    const std::uint32_t mask = bits == 0 ? 0u : ~0u << (kAddressBits - bits);
    networks.push_back({base & mask, mask});
  }
  networks_ = std::move(networks);
  return true;
}

bool CAllowList::Allows(std::uint32_t address) const {
  for (const Network& network : networks_) {
    if ((address & network.mask) == network.base) return true;
  }
  return false;
}

bool CheckControlAccess(const ControlEndpoint& endpoint, const CAllowList& allow,
                        std::string* error) {
  if (IsLoopbackAddress(endpoint.address) || !allow.Empty()) return true;
  *error = "control address " + endpoint.address +
           " is not loopback: give the client networks allowed (--control-allow 10.0.0.0/8 or "
           "[Control] allow=)";
  return false;
}

}  // namespace vxr
