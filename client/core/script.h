// Script mode: one line at a time, its echo awaited, its answers printed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/options.h"
#include "client/core/protocol.h"
#include "client/core/session_log.h"

namespace qc::attach {

// Decides, line by line, which received lines are answers to the lines this client sent.
// Answers to a line are the lines after its echo up to the echo of the next line sent (its
// quiet period only decides when that next line goes out). A line the console answers itself
// ("[who]", "[spawns]") has no echo: its listing is the answer. Presence notices of any
// developer, and the console's receive time-out notice, are never answers; nothing before the
// first echo or listing is.
class AnswerCollector {
 public:
  enum class Verdict { kSkip, kEcho, kAnswer, kListingDone };

  // Called when a line goes out.
  void Sent(const std::string& line);
  Verdict Take(const ConsoleLine& line);
  // Whether the echo (or for a listing, its end) of the last line sent has come.
  bool Settled() const { return awaiting_ == Awaiting::kNothing; }

 private:
  enum class Awaiting { kNothing, kEcho, kListing };
  Awaiting awaiting_ = Awaiting::kNothing;
  ConsoleCommand listing_ = ConsoleCommand::kNone;
  bool inListing_ = false;
  bool started_ = false;
  std::string sent_;
};

// An answer as a script prints it: without the time stamp, an ordinary answer without its
// "QC_MSG: " tag, escaped; errors in red and reports highlighted when colour is on.
std::string ScriptAnswerText(const ConsoleLine& line, bool colour);

// Lines of a script: blank lines left out, a CR before the line end dropped.
std::vector<std::string> SplitScript(const std::string& text);

// Where a script's lines come from: each call gives the next line, false at the end.
using LineSource = std::function<bool(std::string&)>;

// One console a script runs on: its name as answers are marked with, and its connection.
struct ScriptTarget {
  std::string label;
  ConsoleLink* link = nullptr;
  Attached attached;
};

// Runs each line on every target in turn, printing answers to out (marked "LABEL: " when
// options.ManyObjects()) and the client's own messages to err; the session goes to log too.
// Ends with "[quit]" and the farewell on each. Ctrl-C (once CatchInterrupt(true) was called)
// leaves at once, waiting at most 1 s for each farewell. The exit status: kExitUnreachable
// when a connection was lost or an echo never came (the other targets run on), kExitError
// as --stop-on-error and --fail-on-error say, kExitInterrupted after Ctrl-C.
int RunScript(std::vector<ScriptTarget>& targets, const LineSource& next, const Options& options,
              bool colour, std::FILE* out, std::FILE* err, SessionLog& log);

}  // namespace qc::attach
