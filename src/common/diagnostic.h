// The diagnostic stream: the process's standard error, where socket failures are reported.
#pragma once

namespace qc {

// Writes text unchanged as one write while the stream's lock is held, then flushes, so lines
// from different threads never mix and a reader of a pipe or file sees each at once.
void WriteDiagnostic(const char* text);

}  // namespace qc
