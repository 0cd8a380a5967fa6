#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/hresult.h"
#include "player/clv_movie.h"
#include "player/clv_play_server.h"
#include "player/clv_resource_holder.h"

namespace vxr {

// Creation contexts, with their component-model values.
inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_ALL = 0x17;

// The classes a playback server offers: each is a function that makes a new object. An empty
// function leaves that class unregistered.
struct ServerClasses {
  std::function<std::shared_ptr<IClvPlayServer>()> play_server;
  std::function<std::shared_ptr<IClvResourceHolder>()> resource_holder;
  std::function<std::shared_ptr<IClvMovie>()> movie;
};

// Registers the server's classes for the whole process, replacing any registered before. The
// program's start-up calls it (the software board does, through its own registration call);
// tests call it with what they need. Objects made earlier stay valid.
void RegisterServerClasses(ServerClasses classes);

// Forgets every registered class; CreateInstance answers REGDB_E_CLASSNOTREG afterwards.
void UnregisterServerClasses();

// Makes a new object of the class behind the interface asked for, as the component model's
// object creation does. Results: S_OK with *object set; E_POINTER for a null object pointer;
// REGDB_E_CLASSNOTREG when no server has registered the class, or when context does not allow
// an in-process server (every registered server runs in-process); E_OUTOFMEMORY when the server
// made no object. *object is empty after any failure.
HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvPlayServer>* object);
HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvResourceHolder>* object);
HRESULT CreateInstance(std::uint32_t context, std::shared_ptr<IClvMovie>* object);

// Joining and leaving the server library on a thread (the component model's per-thread
// initialisation). Servers here are in-process and thread-safe, so joining always succeeds and
// leaving has nothing to undo; callers still pair them where the deck joins and leaves the server.
HRESULT JoinServerLibrary();
void LeaveServerLibrary();

}  // namespace vxr
