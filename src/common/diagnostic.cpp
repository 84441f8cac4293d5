// Diagnostic lines go through stdio's stderr, whose lock keeps concurrent writes whole.
#include "common/diagnostic.h"

#include <cstdio>
#include <cstring>

namespace qc {

void WriteDiagnostic(const char* text) {
  (void)std::fwrite(text, 1, std::strlen(text), stderr);
  (void)std::fflush(stderr);
}

}  // namespace qc
