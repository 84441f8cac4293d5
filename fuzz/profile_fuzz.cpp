// The profile file reader (FindProfileValue, ParseProfileInt) on any bytes, against the format
// written plainly: lines end at LF; blanks around names and values do not count; a line whose
// first non-blank character is ';' is a comment; "[name]" opens a section (names compared
// without regard to case); "key=value" lines count in the section asked for, the first one
// wins; one pair of matching quotes around a value is removed. Integers: an optional sign, then
// "0x" and hex digits or decimal digits as far as they go, kept in 32 bits; empty gives the
// default. The value is cut to the caller's buffer, and a miss leaves the buffer alone.
// The installed loader header reads integer keys with a parser of its own, for hosts that link
// nothing of the library: it must give what the library's reader gives with its 64-byte buffer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

// The loader's definitions are compiled here, the target's one file.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"
#include "platform/profile_reader.h"
#include "fuzz_support.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<std::string> LookUp(const std::string& file, const std::string& section,
                                  const std::string& key) {
  bool inSection = false;
  std::size_t from = 0;
  while (from < file.size()) {
    std::size_t end = file.find('\n', from);
    if (end == std::string::npos) end = file.size();
    const std::string line = Trim(file.substr(from, end - from));
    from = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const std::size_t close = line.find(']');
      inSection = close != std::string::npos && SameName(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos || !SameName(Trim(line.substr(0, equals)), key)) {
      continue;
    }
    std::string value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::nullopt;
}

int ToInt(const std::string& value, int fallback) {
  std::size_t at = 0;
  while (at < value.size() && IsBlank(value[at])) ++at;
  if (at == value.size()) return fallback;
  bool negative = false;
  if (value[at] == '+' || value[at] == '-') negative = value[at++] == '-';
  std::uint64_t number = 0;
  const bool hex = value.compare(at, 2, "0x") == 0 || value.compare(at, 2, "0X") == 0;
  const std::string digits = hex ? "0123456789abcdef" : "0123456789";
  for (at += hex ? 2 : 0; at < value.size(); ++at) {
    char c = value[at];
    if (hex && c >= 'A' && c <= 'F') c = static_cast<char>(c + 32);
    const std::size_t digit = digits.find(c);
    if (digit == std::string::npos) break;
    number = (number * digits.size() + digit) % (std::uint64_t{1} << 32);
  }
  if (negative) number = ((std::uint64_t{1} << 32) - number) % (std::uint64_t{1} << 32);
  return number >= (std::uint64_t{1} << 31)
             ? static_cast<int>(static_cast<std::int64_t>(number) - (std::int64_t{1} << 32))
             : static_cast<int>(number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kSections[] = {"QCServer", "qcserver", "Other"};
  static const char* const kKeys[] = {"BasePort", "Timeout", "TimeoutVal", "SpawnConfirm", "a"};
  qc::fuzz::Input in(data, size);
  const char* section = kSections[in.Byte() % 3];
  const char* key = kKeys[in.Byte() % 5];
  const std::uint8_t room = in.Byte();
  const std::size_t capacity = room == 0 ? 65536 : room;
  const int fallback = static_cast<int>(in.Uint32());
  const std::string file = in.Rest();

  // The file in a block of exactly its size (it need not end in a NUL); the output buffer
  // likewise, filled with a mark that a miss must leave in place.
  std::unique_ptr<char[]> text(new char[file.size()]);
  std::memcpy(text.get(), file.data(), file.size());
  std::unique_ptr<char[]> out(new char[capacity]);
  std::memset(out.get(), '\xA5', capacity);

  char libraryValue[64];
  const int libraryInt =
      qc::FindProfileValue(text.get(), file.size(), section, key, libraryValue, sizeof libraryValue)
          ? qc::ParseProfileInt(libraryValue, fallback)
          : fallback;
  QC_FUZZ_CHECK(qc::loader::detail::FindProfileInt(text.get(), file.size(), section, key,
                                                   fallback) == libraryInt);

  const bool found =
      qc::FindProfileValue(text.get(), file.size(), section, key, out.get(), capacity);
  const std::optional<std::string> want = LookUp(file, section, key);
  QC_FUZZ_CHECK(found == want.has_value());
  if (!found) {
    for (std::size_t i = 0; i < capacity; ++i) QC_FUZZ_CHECK(out[i] == '\xA5');
    return 0;
  }
  const std::string kept = want->substr(0, capacity - 1);
  QC_FUZZ_CHECK(std::memcmp(out.get(), kept.data(), kept.size()) == 0);
  QC_FUZZ_CHECK(out[kept.size()] == '\0');
  // The integer reading sees the value as a C string, as the platform reader hands it over.
  QC_FUZZ_CHECK(qc::ParseProfileInt(out.get(), fallback) ==
                ToInt(qc::fuzz::TextPart(kept), fallback));
  return 0;
}
