#include "player/server_registry.h"

#include <mutex>
#include <utility>

namespace vxr {
namespace {

struct Registry {
  std::mutex mutex;  // guards classes
  ServerClasses classes;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

template <typename Interface>
HRESULT Create(std::uint32_t context,
               std::function<std::shared_ptr<Interface>()> ServerClasses::*member,
               std::shared_ptr<Interface>* object) {
  if (object == nullptr) return E_POINTER;
  object->reset();
  std::function<std::shared_ptr<Interface>()> make;
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    make = registry.classes.*member;
  }
  // The factory runs outside the lock: it may take its own locks or register again.
  if (!make || (context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  *object = make();
  return *object ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

void RegisterServerClasses(ServerClasses classes) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.classes = std::move(classes);
}

void UnregisterServerClasses() { RegisterServerClasses(ServerClasses{}); }

HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvPlayServer>* object) {
  return Create(context, &ServerClasses::play_server, object);
}

HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvResourceHolder>* object) {
  return Create(context, &ServerClasses::resource_holder, object);
}

HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvMovie>* object) {
  return Create(context, &ServerClasses::movie, object);
}

HRESULT JoinServerLibrary() { return S_OK; }

void LeaveServerLibrary() {}

}  // namespace vxr
