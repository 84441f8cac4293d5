// Reading BasePort with the same profile parser the library uses where the platform has none.
#include "demo/base_port.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/profile_reader.h"

namespace qc::demo {

namespace {

// The key's value, cut to capacity-1 characters; false when the file, section or key is missing.
bool FindValue(const std::string& path, const char* key, char* value, std::size_t capacity) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return FindProfileValue(text.data(), text.size(), "QCServer", key, value, capacity);
}

}  // namespace

int ReadBasePort(const std::string& path) {
  char value[64];  // the library reads integer keys into a buffer of this size too
  if (!FindValue(path, "BasePort", value, sizeof value)) return kDefaultBasePort;
  return ParseProfileInt(value, kDefaultBasePort);
}

std::string ReadProfileText(const std::string& path, const char* key) {
  std::vector<char> value(65536);  // as large as the library's buffer for text keys
  return FindValue(path, key, value.data(), value.size()) ? value.data() : "";
}

std::uint16_t ConsolePort(int basePort, std::size_t index) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(basePort) + static_cast<unsigned>(index));
}

}  // namespace qc::demo
