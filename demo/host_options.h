// The demo host's command line: which game objects to spawn consoles for, and which library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qc::demo {

struct RequestedObject {
  std::uint32_t goid = 0;
  std::string templateName;
};

struct HostOptions {
  std::vector<RequestedObject> objects;  // the defaults when none are given
  std::string libraryPath;  // empty: the library next to the program, else its bare name
  bool showHelp = false;
};

// The console library keeps at most this many consoles, and a template name in 1,023 characters.
constexpr std::size_t kMaxObjects = 100;
constexpr std::size_t kMaxTemplateChars = 1023;

// The three objects spawned when the command line names none.
std::vector<RequestedObject> DefaultObjects();

// Parses the arguments after the program name: pairs of GoID and template name, "--library
// PATH" (or "--library=PATH") and "--help" / "-h". False with a message in error for anything
// else: an unknown option, a GoID that is not a number from 0 to 4294967295, a GoID without a
// template name, an empty or overlong template name or one with control characters, a GoID
// given twice (the console would only ever reach the first), or more than kMaxObjects objects.
bool ParseHostOptions(const std::vector<std::string>& args, HostOptions& options,
                      std::string& error);

// The help text.
std::string UsageText(const std::string& programName);

}  // namespace qc::demo
