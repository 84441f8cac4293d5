// Profile-file parsing, kept free of file I/O so that any bytes can be fed to it.
#include "platform/profile_reader.h"

#include <cstdint>
#include <cstring>

namespace qc {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

struct Span {
  const char* begin;
  const char* end;
};

Span Trim(Span s) {
  while (s.begin < s.end && IsBlank(*s.begin)) ++s.begin;
  while (s.end > s.begin && IsBlank(s.end[-1])) --s.end;
  return s;
}

bool EqualsIgnoringCase(Span s, const char* name) {
  const std::size_t length = std::strlen(name);
  if (static_cast<std::size_t>(s.end - s.begin) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (LowerAscii(s.begin[i]) != LowerAscii(name[i])) return false;
  }
  return true;
}

void CopySpan(Span s, char* out, std::size_t capacity) {
  std::size_t length = static_cast<std::size_t>(s.end - s.begin);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(out, s.begin, length);
  out[length] = '\0';
}

}  // namespace

bool FindProfileValue(const char* fileText, std::size_t length, const char* section,
                      const char* key, char* out, std::size_t capacity) {
  const char* const end = fileText + length;
  bool inSection = false;
  for (const char* lineBegin = fileText; lineBegin < end;) {
    const char* lineEnd = static_cast<const char*>(std::memchr(lineBegin, '\n', end - lineBegin));
    if (lineEnd == nullptr) lineEnd = end;
    const Span line = Trim({lineBegin, lineEnd});
    lineBegin = lineEnd + 1;

    if (line.begin == line.end || *line.begin == ';') continue;
    if (*line.begin == '[') {
      const char* close =
          static_cast<const char*>(std::memchr(line.begin, ']', line.end - line.begin));
      inSection = close != nullptr && EqualsIgnoringCase(Trim({line.begin + 1, close}), section);
      continue;
    }
    if (!inSection) continue;
    const char* equals =
        static_cast<const char*>(std::memchr(line.begin, '=', line.end - line.begin));
    if (equals == nullptr || !EqualsIgnoringCase(Trim({line.begin, equals}), key)) continue;

    Span value = Trim({equals + 1, line.end});
    const std::size_t valueLength = static_cast<std::size_t>(value.end - value.begin);
    if (valueLength >= 2 && (*value.begin == '"' || *value.begin == '\'') &&
        value.end[-1] == *value.begin) {
      ++value.begin;
      --value.end;
    }
    CopySpan(value, out, capacity);
    return true;
  }
  return false;
}

int ParseProfileInt(const char* value, int fallback) {
  const char* p = value;
  while (IsBlank(*p)) ++p;
  if (*p == '\0') return fallback;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  std::uint32_t result = 0;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    for (p += 2;; ++p) {
      const char c = LowerAscii(*p);
      if (c >= '0' && c <= '9') {
        result = result * 16u + static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        result = result * 16u + static_cast<std::uint32_t>(c - 'a' + 10);
      } else {
        break;
      }
    }
  } else {
    for (; *p >= '0' && *p <= '9'; ++p)
      result = result * 10u + static_cast<std::uint32_t>(*p - '0');
  }
  if (negative) result = 0u - result;
  return static_cast<int>(result);
}

}  // namespace qc
