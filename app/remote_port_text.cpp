#include "app/remote_port_text.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "protocol/serial_link.h"

namespace vxr {
namespace {

// "COM1 (/dev/ttyS0)", or the path alone when the name is the path.
std::string PortAndDevice(const std::string& port) {
  if (port.empty()) return "(no name)";
  const std::string device = CSerialLink::DevicePath(port.c_str());
  if (device.empty() || device == port) return port;
  return port + " (" + device + ")";
}

std::string Reason(HRESULT result, const PortRights& rights) {
  if (result == E_POINTER) return "no port name is set — choose one in SETTINGS";
  if (result == E_OUTOFMEMORY) return "the receiver thread cannot be started";
  if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) return "no such device";
  if (result == HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)) return "not a serial port";
  if (result == HRESULT_FROM_WIN32(ERROR_BUSY)) return "a start is still under way";
  if (result == HRESULT_FROM_WIN32(ERROR_ALREADY_ASSIGNED)) return "the port is already served";
  if (result == HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)) {
    return "the line cannot be set to 38400 baud, 8 data bits, odd parity";
  }
  if (result == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) {
    if (!rights.denied) return "busy — another program has the port open";
    if (rights.group.empty()) return "permission denied — the user may not read and write it";
    return "permission denied — is the user in group " + rights.group + "?";
  }
  char text[48];
  std::snprintf(text, sizeof text, "error 0x%08X", static_cast<unsigned>(result));
  return text;
}

}  // namespace

PortRights CheckPortRights(const std::string& device) {
  PortRights rights;
  if (device.empty() || ::access(device.c_str(), R_OK | W_OK) == 0) return rights;
  rights.denied = errno == EACCES || errno == EPERM;
  struct stat info {};
  if (rights.denied && ::stat(device.c_str(), &info) == 0) {
    // getgrgid_r: the panel's thread is not the only one in the program.
    char buffer[1024];
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
      rights.group = found->gr_name;
    }
  }
  return rights;
}

std::string RemoteServingText(const std::string& app_name, const std::string& port) {
  return app_name + ": REMOTE serves the edit controller on " + PortAndDevice(port);
}

std::string RemoteFailedText(const std::string& app_name, const std::string& port, HRESULT result,
                             const PortRights& rights) {
  return app_name + ": REMOTE cannot open port " + PortAndDevice(port) + ": " +
         Reason(result, rights);
}

}  // namespace vxr
