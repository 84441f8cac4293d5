// The interactive session, apart from the terminal: one or several attached consoles, what is
// shown of each line that arrives, which lines are the developer's own echoes, where typed
// lines go (:to, :all), Tab's candidates, and losing a console and finding it again.
//
// The terminal front ends (interactive_posix.cpp, interactive_win32.cpp) drive it:
//   Start(display) once; then loop: wait at most MillisToTimer() ms (-1: no limit) for the
//   keyboard and every connection of Handles(); call OnReadable() when a connection is
//   readable, Submit(line) for each typed line, Completions(lineSoFar) for Tab,
//   InterruptedOnEmptyLine() for Ctrl-C on an empty line (a non-empty one the editor clears
//   itself), Quit() at the end of input; then OnTimer(). Stop when Done(); the exit status is
//   ExitCode(). Prompt() is the prompt; Display::PromptChanged says when it changed.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/lookup.h"
#include "client/core/options.h"
#include "client/core/session_log.h"
#include "client/core/word_store.h"

namespace qc::attach {

// Where the session's output goes: above the line being typed.
class Display {
 public:
  virtual ~Display() = default;
  // One line of output, without its line end (it may hold colour sequences).
  virtual void Show(const std::string& text) = 0;
  // The prompt changed (attached, detached, or another object chosen with :to).
  virtual void PromptChanged() = 0;
  // Hands the terminal over (paused) and takes it back: for the password prompt.
  virtual void PauseEditing(bool paused) = 0;
};

// The first and the longest pause between attempts to attach again.
constexpr int kFirstRetryMillis = 500;
constexpr int kLongestRetryMillis = 5000;
// How long an unfinished line (a host's text without a line end) waits for the rest.
constexpr int kPartialLineMillis = 200;

// Tab's answer: the candidates for the word that begins at start in the line so far (each a
// whole word to put in its place; a command that takes an argument ends in a space).
struct Completion {
  std::size_t start = 0;
  std::vector<std::string> candidates;
};

class InteractiveSession {
 public:
  InteractiveSession(const Options& options, ConsoleFinder& finder, PasswordSource& password,
                     bool colour, SessionLog& log);
  ~InteractiveSession();

  // Attaches to every object of the selection. kOpen, or what went wrong; then FailedObject()
  // names the object and FailedRows() lists the consoles for kNotFound and kAmbiguous.
  OpenResult AttachFirst();
  const std::string& FailedObject() const { return failedObject_; }
  const std::vector<SpawnRow>& FailedRows() const { return failedRows_; }
  // Shows the lines that arrived while attaching, from now on to the display.
  void Start(Display& display);

  // The connections to wait on (those attached at the moment).
  std::vector<Connection> Handles() const;
  // Milliseconds until OnTimer wants to run (0: now), or -1 for no timer.
  int MillisToTimer() const;
  // Takes what has arrived on every connection, without waiting.
  void OnReadable();
  void OnTimer();

  // A line the developer typed: ":quit" and "[quit]" leave, ":to NAME" chooses the object
  // lines go to, ":all LINE" sends LINE to every object, ":help" lists these; any other line
  // goes to the chosen object. Empty lines are not sent.
  void Submit(const std::string& line);
  // Tab: what may complete the last word of lineSoFar: after ":to " the objects' names; at
  // the line's start the console's commands and the client's own; elsewhere "[this].". Then,
  // wherever a name may stand (FindWordToComplete), the words this session's consoles and
  // its typed lines have shown, most recent first.
  Completion Completions(const std::string& lineSoFar) const;
  // Keeps the words Tab completes from in the file at wordsPath (WordsPath, by HistoryKey),
  // and learns those of the typed lines at historyPath too.
  void UseWords(const std::string& wordsPath, const std::string& historyPath);
  // Ctrl-C on an empty line: says how to leave.
  void InterruptedOnEmptyLine();
  // Leaves every console: "[quit]", waits for each farewell (or the close), and ends.
  void Quit();

  bool Done() const { return done_; }
  int ExitCode() const { return exitCode_; }
  // "goblin> ", "(detached) goblin> ".
  std::string Prompt() const;
  // The name the history of this session is kept under: the console's template name, else
  // ":PORT"; with several objects, the objects as the command line named them.
  std::string HistoryKey() const;

 private:
  struct Console {
    std::string object;  // how it is found again after a restart
    std::string label;   // how it is shown and named in :to
    ConsoleLink link;
    Attached attached;
    std::deque<std::string> awaitingEcho;  // lines sent whose echoes have not come yet
    bool lastOwnEcho = false;              // the last line shown was an own echo
    std::int64_t retryAt = -1;
    int retryMillis = kFirstRetryMillis;
    std::int64_t partialAt = -1;
    bool saidMissing = false;
  };

  void NameConsoles();
  void ShowReceived(Console& console, const std::string& raw);
  void ShowNote(const std::string& text);
  void Show(const std::string& shown, const std::string& logged);
  void Detach(Console& console);
  void Attempt(Console& console);
  void Pump(Console& console);
  void SendTo(Console& console, const std::string& line);
  Console* FindConsole(const std::string& name);
  std::string Mark(const Console& console, bool colour) const;

  const Options& options_;
  ConsoleFinder& finder_;
  PasswordSource& password_;
  bool colour_;
  SessionLog& log_;
  Display* display_ = nullptr;
  std::vector<std::unique_ptr<Console>> consoles_;
  std::size_t current_ = 0;
  std::string failedObject_;
  std::vector<SpawnRow> failedRows_;
  WordStore words_;
  bool done_ = false;
  int exitCode_ = kExitOk;
};

// Runs the interactive session on the terminal until it is done. The exit status.
int RunInteractive(InteractiveSession& session, const std::string& historyPath);

}  // namespace qc::attach
