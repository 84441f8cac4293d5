// quillaret-web's platform layer on Windows: the random source (rand_s, msvcrt's front to
// RtlGenRandom), the listener's options.
#define _CRT_RAND_S
#include <stdlib.h>

#include "web/access.h"

namespace qc::web {

bool SystemRandom(unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    unsigned value = 0;
    if (rand_s(&value) != 0) return false;
    bytes[i] = static_cast<unsigned char>(value);
  }
  return true;
}

}  // namespace qc::web

namespace qc::web {

bool ListenerMayReuseAddress() { return false; }

}  // namespace qc::web
