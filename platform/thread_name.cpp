#include "platform/thread_name.h"

#include <pthread.h>

#include <cstring>

namespace vxr {

namespace {
constexpr std::size_t kMaxThreadNameLength = 15;  // the kernel's limit, without the terminator
}  // namespace

void SetCurrentThreadName(const char* name) {
  if (name == nullptr) return;
  char shortened[kMaxThreadNameLength + 1] = {};
  std::strncpy(shortened, name, kMaxThreadNameLength);
  pthread_setname_np(pthread_self(), shortened);
}

}  // namespace vxr
