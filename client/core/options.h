// quillaret-attach's command line, its environment variables and where BasePort comes from.
#pragma once

#include <string>
#include <vector>

namespace qc::attach {

constexpr int kDefaultBasePort = 30000;
constexpr int kHistoryLines = 1000;

// Time limits, in milliseconds. The command line gives them in seconds.
constexpr int kDefaultWaitMillis = 300;      // --wait: the quiet time after an answer
constexpr int kDefaultConnectMillis = 2000;  // --connect-timeout: one connect
constexpr int kDefaultEchoMillis = 10000;    // --echo-timeout: a line's echo in a script
// How long the console has for each of its own replies (welcome, listing, farewell); a longer
// --connect-timeout lengthens it too.
constexpr int kDefaultReplyMillis = 5000;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitUnreachable = 1;    // no console could be reached, the connection was lost,
                                       // the password was refused, or a line's echo never came
constexpr int kExitError = 2;          // an answer was a QC_ERROR: line (--stop-on-error,
                                       // --fail-on-error)
constexpr int kExitNoSuchObject = 3;   // an object is unknown or ambiguous, or a pattern matches
                                       // no console
constexpr int kExitUsage = 4;          // the command line is wrong, or -f FILE cannot be read
constexpr int kExitInterrupted = 130;  // Ctrl-C in a script, as shells report SIGINT

struct Options {
  std::string host = "127.0.0.1";
  int basePort = -1;  // -1: not given
  bool list = false;
  bool all = false;                  // --all: every console of the game
  std::vector<std::string> objects;  // names, GoIDs, :PORTs and patterns, in order
  std::vector<std::string> lines;    // -c LINE, in order
  std::string file;                  // -f FILE ("-" for standard input)
  std::string log;                   // --log FILE
  int waitMillis = kDefaultWaitMillis;
  int connectMillis = kDefaultConnectMillis;
  int echoMillis = kDefaultEchoMillis;
  int retryMillis = 0;  // --retry: how long the first attach may wait; 0: no wait
  bool echo = false;
  bool stopOnError = false;
  bool failOnError = false;
  bool help = false;
  bool version = false;

  // How long the console has for each of its own replies.
  int ReplyMillis() const {
    return connectMillis > kDefaultReplyMillis ? connectMillis : kDefaultReplyMillis;
  }
  // Whether the answers and lines are marked with the object's name: several objects, a
  // pattern or --all (even when it finds one console, so that a script reads the same).
  bool ManyObjects() const;
};

// Parses the arguments (without the program's name) over the environment's defaults:
// QUILLARET_HOST and QUILLARET_BASE_PORT (given as "" when unset) are taken when the command
// line does not set --host or --base-port. False with a message on a wrong one.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error,
                  const std::string& hostVariable = "", const std::string& basePortVariable = "");
std::string UsageText();
std::string VersionText();

// Seconds as the command line writes them ("2", "0.3", "1.5", or "300ms"), in milliseconds
// from lowest to highest. False when the text is no such time.
bool ParseSeconds(const std::string& text, int lowest, int highest, int& millis);

// Whether object is a shell-style pattern (it holds *, ? or [), and whether name matches it:
// * any run of bytes, ? one byte, [abc] [a-z] [!a] one of (or none of) a set.
bool IsPattern(const std::string& object);
bool MatchPattern(const std::string& pattern, const std::string& name);

// BasePort when none was given: from the profile the game reads (quillaret_console.ini in the
// current folder, and on Windows in the Windows directory, as the console library looks for
// it), else kDefaultBasePort. Shared by every program that attaches to consoles. With found,
// tells whether a profile was found at all.
int ProfileBasePort(bool* found = nullptr);

// BasePort from the [QCServer] section of a profile's text, read as the console library reads
// it; fallback when the text has no such key or it is empty.
int BasePortFromProfile(const std::string& profileText, int fallback);

}  // namespace qc::attach
