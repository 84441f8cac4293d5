// The time stamp that starts every line sent to a developer: "HH:MM:SS", local time, 24 hours.
#pragma once

#include <cstddef>

namespace qc {

constexpr std::size_t kTimestampChars = 8;

// Writes the 8 characters of the current local time into out, with no NUL. The caller's
// buffer must hold at least kTimestampChars bytes.
void WriteTimestamp(char* out);

// Writes "HH:MM:SS" for the given fields (each taken modulo 100) into out, with no NUL.
void WriteTimestampFields(char* out, int hour, int minute, int second);

}  // namespace qc
