// UTF-8 and the escaping of what could steer a terminal, written plainly from the Unicode
// standard's table of well-formed byte sequences: the model the client and web targets check
// the clients' escaping (EscapeControlBytes) and the page's texts against.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qc::fuzz {

// The bytes of the UTF-8 sequence at text[i] when it is well formed (the Unicode standard's
// table of well-formed byte sequences), else 0; its code point in codePoint.
inline std::size_t WellFormed(std::string_view text, std::size_t i, unsigned& codePoint) {
  const auto at = [&](std::size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0x100u;
  };
  const unsigned lead = at(0);
  auto in = [](unsigned byte, unsigned low, unsigned high) { return byte >= low && byte <= high; };
  std::size_t length = 0;
  if (lead < 0x80) {
    length = 1;
  } else if (in(lead, 0xC2, 0xDF) && in(at(1), 0x80, 0xBF)) {
    length = 2;
  } else if (lead == 0xE0   ? in(at(1), 0xA0, 0xBF)
             : lead == 0xED ? in(at(1), 0x80, 0x9F)
                            : in(lead, 0xE1, 0xEF) && in(at(1), 0x80, 0xBF)) {
    length = in(at(2), 0x80, 0xBF) ? 3 : 0;
  } else if (lead == 0xF0   ? in(at(1), 0x90, 0xBF)
             : lead == 0xF4 ? in(at(1), 0x80, 0x8F)
                            : in(lead, 0xF1, 0xF3) && in(at(1), 0x80, 0xBF)) {
    length = in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
  }
  const unsigned marks[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  codePoint = length > 0 ? lead & marks[length] : 0;
  for (std::size_t k = 1; k < length; ++k) codePoint = (codePoint << 6) | (at(k) & 0x3Fu);
  return length;
}

// What may be shown as it is: tab, printable characters, none of the C0 and C1 controls, DEL,
// and none of the bidirectional controls (ALM, LRM, RLM, LRE to RLO, LRI to PDI).
inline bool Shown(unsigned c) {
  if (c == '\t') return true;
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  return !(c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069));
}

inline std::string ModelEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    unsigned c = 0;
    const std::size_t length = WellFormed(text, i, c);
    if (length > 0 && Shown(c)) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      // A byte that starts no sequence shown as it is: each such byte alone, so a control's
      // whole sequence comes out byte by byte.
      const auto byte = static_cast<unsigned char>(text[i++]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// Whether text is valid UTF-8 as a whole.
inline bool ValidUtf8(std::string_view text) {
  unsigned c = 0;
  for (std::size_t i = 0, length; i < text.size(); i += length) {
    if ((length = WellFormed(text, i, c)) == 0) return false;
  }
  return true;
}

}  // namespace qc::fuzz
