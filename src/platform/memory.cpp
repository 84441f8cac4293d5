// The C runtime's heap behind the platform layer's allocation calls, the same on every
// platform; with fault injection built in, each call can be made to fail as memory running
// out would.
#include <cerrno>
#include <cstdlib>

#include "platform/faults.h"
#include "platform/platform.h"

namespace qc::platform {

void* AllocateMemory(std::size_t bytes) {
  if (QC_FAULT(kMemory)) {
    errno = ENOMEM;
    return nullptr;
  }
  return std::malloc(bytes);
}

void* AllocateZeroedMemory(std::size_t bytes) {
  if (QC_FAULT(kMemory)) {
    errno = ENOMEM;
    return nullptr;
  }
  return std::calloc(1, bytes);
}

void* ResizeMemory(void* block, std::size_t bytes) {
  if (QC_FAULT(kMemory)) {
    errno = ENOMEM;
    return nullptr;
  }
  return std::realloc(block, bytes);
}

void FreeMemory(void* block) { std::free(block); }

}  // namespace qc::platform
