// The interactive session, apart from the terminal: what is shown of each line that arrives,
// which lines are the developer's own echoes, losing the console and finding it again.
// interactive_posix.cpp and interactive_win32.cpp drive it from the terminal.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "client/console_link.h"
#include "client/options.h"

namespace qc::attach {

// Where the session's output goes: above the line being typed.
class Display {
 public:
  virtual ~Display() = default;
  virtual void Show(const std::string& text) = 0;
  // The prompt changed (attached, or waiting for the game).
  virtual void PromptChanged() = 0;
  // Hands the terminal over (paused) and takes it back: for the password prompt.
  virtual void PauseEditing(bool paused) = 0;
};

// The first and the longest pause between attempts to attach again.
constexpr int kFirstRetryMillis = 500;
constexpr int kLongestRetryMillis = 5000;
// How long an unfinished line (a host's text without a line end) waits for the rest.
constexpr int kPartialLineMillis = 200;

class InteractiveSession {
 public:
  InteractiveSession(const Options& options, int basePort, PasswordSource& password,
                     bool colour);

  // Attaches for the first time. kOpen, or what went wrong; rows of Attached() list the
  // consoles for kNotFound and kAmbiguous.
  OpenResult AttachFirst();
  const Attached& Current() const { return attached_; }
  // Shows the lines that arrived while attaching, from now on to the display.
  void Start(Display& display);

  // The connection to wait on, or kNoConnection while detached.
  Connection Handle() const { return link_.IsOpen() ? link_.Handle() : kNoConnection; }
  // Milliseconds until OnTimer wants to run (0: now), or -1 for no timer.
  int MillisToTimer() const;
  void OnReadable();
  void OnTimer();

  // A line the developer typed (":quit" and "[quit]" leave). Empty lines are not sent.
  void Submit(const std::string& line);
  // Leaves: "[quit]", waits for the farewell (or the close), and ends the session.
  void Quit();

  bool Done() const { return done_; }
  int ExitCode() const { return exitCode_; }
  std::string Prompt() const;
  // The name the history of this console is kept under: its template name, else ":PORT".
  std::string HistoryKey() const;

 private:
  void ShowReceived(const std::string& raw);
  void ShowNote(const std::string& text);
  void Detach();
  void Attempt();

  const Options& options_;
  int basePort_;
  PasswordSource& password_;
  bool colour_;
  Display* display_ = nullptr;
  ConsoleLink link_;
  Attached attached_;
  std::deque<std::string> awaitingEcho_;  // lines sent whose echoes have not come yet
  std::int64_t retryAt_ = -1;
  int retryMillis_ = kFirstRetryMillis;
  std::int64_t partialAt_ = -1;
  bool saidMissing_ = false;
  bool done_ = false;
  int exitCode_ = kExitOk;
};

// Runs the interactive session on the terminal until it is done. The exit status.
int RunInteractive(InteractiveSession& session, const std::string& historyPath);

}  // namespace qc::attach
