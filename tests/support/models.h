// Plain models of the console's text rules, shared by the tests and the fuzz targets: each rule
// is written once, in the simplest form, and the library is checked against it.
#pragma once

#include <cstddef>
#include <string>

namespace qc::test {

// The script rewriting's rule: replace the leftmost occurrence of token, then search again
// from the start, until none is left or the next replacement would make the text longer than
// limit characters.
inline std::string ReplaceLeftmostRepeatedly(std::string text, const std::string& token,
                                             const std::string& replacement, std::size_t limit) {
  for (std::size_t at; (at = text.find(token)) != std::string::npos;) {
    if (text.size() - token.size() + replacement.size() > limit) break;
    text.replace(at, token.size(), replacement);
  }
  return text;
}

// True when line begins with a time stamp "HH:MM:SS" of a valid 24-hour time (a leap second
// allowed) and rest follows it exactly.
inline bool IsStampedLine(const std::string& line, const std::string& rest) {
  if (line.size() != 8 + rest.size() || line.compare(8, std::string::npos, rest) != 0) return false;
  auto field = [&](std::size_t at, int limit) {
    const char a = line[at];
    const char b = line[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    return (a - '0') * 10 + (b - '0') < limit;
  };
  return field(0, 24) && line[2] == ':' && field(3, 60) && line[5] == ':' && field(6, 61);
}

}  // namespace qc::test
