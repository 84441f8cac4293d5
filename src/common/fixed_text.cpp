// Fixed-size text routines; see fixed_text.h for the contracts.
#include "common/fixed_text.h"

#include <cstdarg>
#include <cstring>

#include "platform/platform.h"

namespace qc {

std::size_t BoundedLength(const char* text, std::size_t capacity) {
  const void* nul = std::memchr(text, 0, capacity);
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : capacity;
}

bool CopyText(char* dst, std::size_t capacity, const char* src) {
  const std::size_t length = std::strlen(src);
  const bool fits = length < capacity;
  const std::size_t copied = fits ? length : capacity - 1;
  std::memcpy(dst, src, copied);
  dst[copied] = '\0';
  return fits;
}

std::size_t FormatText(char* dst, std::size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t length = platform::FormatTextV(dst, capacity, format, args);
  va_end(args);
  return length;
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool SameSecret(const char* a, std::size_t aLength, const char* b, std::size_t bLength) {
  const std::size_t longer = aLength > bLength ? aLength : bLength;
  // volatile keeps the compiler from turning the loop back into one that stops early.
  volatile unsigned difference = aLength == bLength ? 0u : 1u;
  for (std::size_t i = 0; i < longer; ++i) {
    const unsigned x = i < aLength ? static_cast<unsigned char>(a[i]) : 0u;
    const unsigned y = i < bLength ? static_cast<unsigned char>(b[i]) : 0u;
    difference = difference | (x ^ y);
  }
  return difference == 0;
}

char* ReplaceAll(char* text, std::size_t capacity, const char* token, const char* replacement) {
  const std::size_t tokenLength = std::strlen(token);
  if (tokenLength == 0) return text;
  const char* first = std::strstr(text, token);
  if (first == nullptr) return text;

  const std::size_t replacementLength = std::strlen(replacement);
  const std::size_t limit = capacity - 1;  // characters the buffer can hold
  char scratch[kTextBytes];
  std::size_t written = 0;
  const char* rest = text;
  std::size_t restLength = std::strlen(text);
  // Invariant: written + restLength <= limit, so copying the rest unchanged always fits.
  for (const char* hit = first; hit != nullptr; hit = std::strstr(rest, token)) {
    const auto before = static_cast<std::size_t>(hit - rest);
    const std::size_t after = restLength - before - tokenLength;
    if (written + before + replacementLength + after > limit) break;
    std::memcpy(scratch + written, rest, before);
    written += before;
    std::memcpy(scratch + written, replacement, replacementLength);
    written += replacementLength;
    rest = hit + tokenLength;
    restLength = after;
  }
  std::memcpy(scratch + written, rest, restLength);
  written += restLength;
  std::memcpy(text, scratch, written);
  text[written] = '\0';
  return text;
}

}  // namespace qc
