// quillaret-attach's command line and where BasePort comes from.
#pragma once

#include <string>
#include <vector>

namespace qc::attach {

constexpr int kDefaultBasePort = 30000;
constexpr int kDefaultWaitMillis = 300;
constexpr int kHistoryLines = 1000;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUnreachable = 1;  // no console could be reached, or the connection was lost
constexpr int kExitError = 2;        // an answer was a QC_ERROR: line and --stop-on-error was given
constexpr int kExitNoSuchObject = 3; // the object is unknown or ambiguous
constexpr int kExitUsage = 4;        // the command line is wrong

struct Options {
  std::string host = "127.0.0.1";
  int basePort = -1;  // -1: not given
  bool list = false;
  std::vector<std::string> lines;  // -c LINE, in order
  std::string file;                // -f FILE ("-" for standard input)
  int waitMillis = kDefaultWaitMillis;
  bool echo = false;
  bool stopOnError = false;
  bool help = false;
  std::string object;
};

// Parses the arguments (without the program's name). False with a message on a wrong one.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string UsageText();

// BasePort from the [QCServer] section of a profile's text, read as the console library reads
// it; fallback when the text has no such key or it is empty.
int BasePortFromProfile(const std::string& profileText, int fallback);

}  // namespace qc::attach
