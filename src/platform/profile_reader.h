// A reader of profile (INI) files: "[section]" headers and "key=value" lines, read the way the
// Windows private-profile functions read them. Used where the platform has no such functions.
#pragma once

#include <cstddef>

namespace qc {

// Looks up key in section of the file text (length bytes, need not be NUL-terminated).
// Section and key names are matched case-insensitively after trimming blanks; lines whose first
// non-blank character is ';' are comments; the first occurrence of a key wins. The value is
// trimmed, then one pair of matching single or double quotes around it is removed; there are
// no inline comments. On a hit the value is copied into out (capacity > 0 bytes, truncated and
// NUL-terminated) and true is returned; otherwise out is left alone and the result is false.
bool FindProfileValue(const char* fileText, std::size_t length, const char* section,
                      const char* key, char* out, std::size_t capacity);

// Reads a profile value as an integer: optional blanks, an optional sign, then either "0x" and
// hex digits or decimal digits, as far as they go ("12abc" is 12, "abc" is 0). An empty value
// gives fallback. Digits beyond 32 bits wrap around, as a 32-bit accumulator would.
int ParseProfileInt(const char* value, int fallback);

}  // namespace qc
