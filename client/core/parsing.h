// Reading numbers and literals: one reader for the console's lines, the remembered listings
// and the programs' options (decimal numbers as the console prints them and as people type
// them).
#pragma once

#include <cstddef>
#include <string_view>

namespace qc::attach {

// Reads a decimal number with an optional minus sign at text[pos], moving pos past it. False
// (pos unchanged) when no digit comes or the magnitude passes 0xFFFFFFFF, beyond anything the
// console prints (its ports and GoIDs are 16 and 32 bits, signed or not).
bool ReadNumber(std::string_view text, std::size_t& pos, long long& value);

// Whether literal stands at text[pos]; if so, moves pos past it.
bool Expect(std::string_view text, std::size_t& pos, std::string_view literal);

// The whole text as a count from lowest to highest: digits only, no sign, no spaces.
bool ParseCount(std::string_view text, int lowest, int highest, int& value);

}  // namespace qc::attach
