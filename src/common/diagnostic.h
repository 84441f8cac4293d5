// The diagnostic stream: the process's standard error, where socket failures are reported.
#pragma once

#include <cstddef>

namespace qc {

// Lines the stream did not take at once wait for one writer thread for the whole process, at
// most this many, each cut to kDiagnosticBytes - 1 characters (every line the library writes is
// far shorter). Past that they are counted, and the count is written once there is room.
constexpr int kWaitingDiagnostics = 256;
constexpr std::size_t kDiagnosticBytes = 160;

// Writes text unchanged as one write, so lines from different threads never mix, and never
// waits for the stream: a standard error that takes nothing now (a pipe nobody reads) gets the
// line later from the writer thread, in order with every other line.
void WriteDiagnostic(const char* text);

}  // namespace qc
