#include "sinks/stream/name_resolution.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <thread>
#include <utility>

#include "platform/thread_name.h"

namespace vxr {

bool IsNumericHost(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool ResolveWithSystem(const std::string& host, std::string* address, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int code = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (code != 0 || found == nullptr) {
    *error = "cannot resolve " + host + ": " + gai_strerror(code);
    return false;
  }
  char text[NI_MAXHOST] = {};
  const int named =
      getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  if (named != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(named);
    return false;
  }
  *address = text;
  return true;
}

CNameResolution::CNameResolution(std::string host, ResolveFunction resolve)
    : slot_(std::make_shared<Slot>()) {
  std::thread([slot = slot_, host = std::move(host), resolve = std::move(resolve)] {
    SetCurrentThreadName("stream resolve");
    std::string address, error;
    const bool resolved = resolve(host, &address, &error);
    std::lock_guard lock(slot->mutex);
    slot->done = true;
    slot->resolved = resolved;
    slot->address = std::move(address);
    slot->error = std::move(error);
    slot->changed.notify_all();
  }).detach();
}

CNameResolution::Outcome CNameResolution::Wait(std::chrono::milliseconds timeout,
                                               std::string* address, std::string* error) {
  std::unique_lock lock(slot_->mutex);
  if (!slot_->changed.wait_for(lock, timeout, [this] { return slot_->done || slot_->cancelled; })) {
    return Outcome::kTimedOut;
  }
  if (slot_->cancelled) return Outcome::kCancelled;
  *address = slot_->address;
  *error = slot_->error;
  return slot_->resolved ? Outcome::kResolved : Outcome::kFailed;
}

void CNameResolution::Cancel() {
  std::lock_guard lock(slot_->mutex);
  slot_->cancelled = true;
  slot_->changed.notify_all();
}

}  // namespace vxr
