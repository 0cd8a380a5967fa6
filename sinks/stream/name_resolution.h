#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vxr {

// Turns a host name into one numeric address (IPv4 "a.b.c.d" or IPv6 without brackets): true
// with *address, or false with why. It may block as long as the system's resolver takes.
using ResolveFunction =
    std::function<bool(const std::string& host, std::string* address, std::string* error)>;

// The system's resolver (getaddrinfo), the first address it gives.
bool ResolveWithSystem(const std::string& host, std::string* address, std::string* error);

// Whether host is already a numeric address (nothing to resolve).
bool IsNumericHost(const std::string& host);

// One resolution of a host name that the asking thread can give up on at once: getaddrinfo
// cannot be interrupted (a dead name server holds it for half a minute), so it runs on a
// detached thread ("stream resolve") that writes its result into a slot it shares with this
// object, and ends on its own, whenever the resolver lets it, after the asker has gone.
class CNameResolution {
 public:
  enum class Outcome { kResolved, kFailed, kCancelled, kTimedOut };

  CNameResolution(std::string host, ResolveFunction resolve);
  // Waits until the result is in, Cancel was called or timeout passed.
  Outcome Wait(std::chrono::milliseconds timeout, std::string* address, std::string* error);
  // Ends a Wait at once; any thread.
  void Cancel();

 private:
  struct Slot {
    std::mutex mutex;  // guards the fields below
    std::condition_variable changed;
    bool done = false;
    bool cancelled = false;
    bool resolved = false;
    std::string address;
    std::string error;
  };
  std::shared_ptr<Slot> slot_;
};

}  // namespace vxr
