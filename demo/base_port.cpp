// Reading BasePort with the same profile parser the library uses where the platform has none.
#include "demo/base_port.h"

#include <fstream>
#include <iterator>

#include "platform/profile_reader.h"

namespace qc::demo {

int ReadBasePort(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return kDefaultBasePort;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  char value[64];  // the library reads integer keys into a buffer of this size too
  if (!FindProfileValue(text.data(), text.size(), "QCServer", "BasePort", value, sizeof value)) {
    return kDefaultBasePort;
  }
  return ParseProfileInt(value, kDefaultBasePort);
}

std::uint16_t ConsolePort(int basePort, std::size_t index) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(basePort) + static_cast<unsigned>(index));
}

}  // namespace qc::demo
