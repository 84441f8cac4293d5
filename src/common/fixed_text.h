// Fixed-size text routines: every writer takes its capacity, truncates, and never writes past
// the buffer. Shared by the host interface and the network console.
#pragma once

#include <cstddef>

namespace qc {

// Size of every line, message, reply and scratch buffer: 65,535 characters and the NUL.
constexpr std::size_t kTextBytes = 65536;
// Size of every name buffer (template names, ThisPrefix): 1,023 characters and the NUL.
constexpr std::size_t kNameBytes = 1024;

// Length of text, reading at most capacity bytes; capacity when no NUL is found.
std::size_t BoundedLength(const char* text, std::size_t capacity);

// Copies src into dst (capacity > 0 bytes) and always NUL-terminates.
// Returns false when src did not fit; dst then holds the first capacity-1 bytes.
bool CopyText(char* dst, std::size_t capacity, const char* src);

// printf into dst (capacity > 0 bytes), always NUL-terminated, truncated when too long.
// Returns the number of characters written (not counting the NUL).
std::size_t FormatText(char* dst, std::size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// c with A-Z turned into a-z; every other byte unchanged.
inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when text begins with prefix (byte for byte, case-sensitive).
bool StartsWith(const char* text, const char* prefix);

// True when a[0, aLength) and b[0, bLength) hold the same bytes. Takes the same time whatever
// the contents: every byte up to the longer length is compared, with no early exit.
bool SameSecret(const char* a, std::size_t aLength, const char* b, std::size_t bLength);

// Replaces every occurrence of token in text (a NUL-terminated string in a buffer of capacity
// bytes, capacity <= kTextBytes) by replacement, in one left-to-right pass: the result equals
// replacing the leftmost occurrence again and again. Should the text outgrow capacity-1
// characters, replacing stops at the first occurrence that no longer fits, and that occurrence
// and everything after it stay as they were; a token is never cut. Returns text.
char* ReplaceAll(char* text, std::size_t capacity, const char* token, const char* replacement);

}  // namespace qc
