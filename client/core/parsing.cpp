// Numbers and literals read one way everywhere in the client and the web console.
#include "client/core/parsing.h"

namespace qc::attach {

bool ReadNumber(std::string_view text, std::size_t& pos, long long& value) {
  const bool negative = pos < text.size() && text[pos] == '-';
  std::size_t i = negative ? pos + 1 : pos;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  long long result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    result = result * 10 + (text[i] - '0');
    if (result > 0xFFFFFFFFLL) return false;
  }
  value = negative ? -result : result;
  pos = i;
  return true;
}

bool Expect(std::string_view text, std::size_t& pos, std::string_view literal) {
  if (text.substr(pos, literal.size()) != literal) return false;
  pos += literal.size();
  return true;
}

bool ParseCount(std::string_view text, int lowest, int highest, int& value) {
  std::size_t pos = 0;
  long long number = 0;
  if (text.empty() || text[0] == '-' || !ReadNumber(text, pos, number) || pos != text.size() ||
      number < lowest || number > highest) {
    return false;
  }
  value = static_cast<int>(number);
  return true;
}

}  // namespace qc::attach
