// The BasePort setting as the console library reads it, so the host can tell developers which
// port each console listens on.
#pragma once

#include <cstdint>
#include <string>

namespace qc::demo {

constexpr int kDefaultBasePort = 30000;

// Reads "BasePort" of section "QCServer" from the profile file at path, with the library's
// parser and rules: a missing file, section or key, or an empty value, gives 30000; "0x" hex,
// a sign and trailing junk are read as the library reads them.
int ReadBasePort(const std::string& path);

// Reads a text key of section "QCServer" (BindAddress, Password) as the library reads it:
// trimmed, one pair of quotes removed; "" when the file, section or key is missing.
std::string ReadProfileText(const std::string& path, const char* key);

// The port of the console spawned at index (0 for the first): BasePort + index, kept in 16 bits.
std::uint16_t ConsolePort(int basePort, std::size_t index);

}  // namespace qc::demo
