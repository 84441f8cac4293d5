// The interactive session on a POSIX terminal: libedit's readline-compatible interface with
// its callback form (rl_callback_handler_install, rl_callback_read_char), so that one poll()
// waits on the keyboard and the console at once. Output that arrives while a line is being
// typed is written above it: the line is wiped, the output written, and libedit redraws the
// prompt and the line with the cursor where it was. Tab asks the session for its candidates;
// Ctrl-C clears the line being typed, or on an empty line says how to leave.
#include <editline/readline.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client/core/history.h"
#include "client/core/session.h"

namespace qc::attach {
namespace {

class TerminalDisplay final : public Display {
 public:
  explicit TerminalDisplay(InteractiveSession& session) : session_(session) {}

  void Show(const std::string& text) override {
    const bool redraw = editing_;
    if (redraw) WipeLine();
    std::fputs(text.c_str(), stdout);
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
    if (redraw) rl_forced_update_display();
  }

  void PromptChanged() override {
    prompt_ = session_.Prompt();
    const bool redraw = editing_;
    if (redraw) WipeLine();
    (void)rl_set_prompt(prompt_.c_str());
    if (redraw) rl_forced_update_display();
  }

  void PauseEditing(bool paused) override {
    if (paused) {
      StopEditing();
    } else {
      StartEditing(handler_);
    }
  }

  // Clears the prompt and the line being typed, leaving the cursor at the start of the row
  // where the prompt began.
  void WipeLine() {
    winsize size{};
    int columns = 80;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    const int rowsUp = (static_cast<int>(prompt_.size()) + rl_point) / columns;
    std::fputs("\r", stdout);
    if (rowsUp > 0) std::fprintf(stdout, "\x1b[%dA", rowsUp);
    std::fputs("\x1b[J", stdout);
  }

  void StartEditing(void (*handler)(char*)) {
    handler_ = handler;
    prompt_ = session_.Prompt();
    rl_callback_handler_install(prompt_.c_str(), handler);
    editing_ = true;
  }

  void StopEditing() {
    if (!editing_) return;
    WipeLine();
    std::fflush(stdout);
    rl_callback_handler_remove();
    editing_ = false;
  }

  // Enter or Ctrl-D ended the line: the terminal is libedit's no more until StartEditing.
  void LineFinished() {
    if (editing_) rl_callback_handler_remove();
    editing_ = false;
  }

 private:
  InteractiveSession& session_;
  std::string prompt_;
  bool editing_ = false;
  void (*handler_)(char*) = nullptr;
};

// libedit calls a plain function with each line; the loop below takes it from here.
bool lineDone = false;
bool lineEnded = false;  // Ctrl-D on an empty line
std::string finishedLine;

void OnLine(char* line) {
  lineDone = true;
  lineEnded = line == nullptr;
  finishedLine = line != nullptr ? line : "";
  std::free(line);
}

// Tab: libedit asks for the words that may complete the one before the cursor.
InteractiveSession* completing = nullptr;
std::vector<std::string> candidates;

char* NextCandidate(const char*, int state) {
  static std::size_t next = 0;
  if (state == 0) next = 0;
  if (next >= candidates.size()) return nullptr;
  return strdup(candidates[next++].c_str());
}

char** Complete(const char* text, int start, int end) {
  rl_attempted_completion_over = 1;  // never file names
  candidates.clear();
  if (completing == nullptr || rl_line_buffer == nullptr) return nullptr;
  const Completion completion = completing->Completions(std::string(rl_line_buffer, end));
  if (completion.start != static_cast<std::size_t>(start)) return nullptr;
  candidates = completion.candidates;
  if (candidates.empty()) return nullptr;
  return rl_completion_matches(text, NextCandidate);
}

std::vector<std::string> typedLines;  // the history as read at start, and the lines since

void KeepInHistory(const std::string& line, const std::string& historyFile) {
  if (KeepTypedLine(typedLines, historyFile, line)) add_history(line.c_str());
}

}  // namespace

int RunInteractive(InteractiveSession& session, const std::string& historyPath) {
  TerminalDisplay display(session);
  rl_readline_name = "quillaret-attach";
  // Ctrl-C is the loop's (CatchInterrupt): libedit leaves the signal alone.
  rl_catch_signals = 0;
  // The words Tab completes end where the session's candidates begin.
  rl_basic_word_break_characters = " \t(,";
  rl_completion_append_character = '\0';
  rl_attempted_completion_function = Complete;
  completing = &session;
  using_history();
  stifle_history(kHistoryLines);
  typedLines = ReadHistory(historyPath);
  for (const std::string& line : typedLines) add_history(line.c_str());

  display.StartEditing(OnLine);
  bool typedSinceStart = false;
  session.Start(display);
  while (!session.Done()) {
    std::vector<pollfd> waits = {{STDIN_FILENO, POLLIN, 0}};
    for (const Connection console : session.Handles()) {
      waits.push_back({static_cast<int>(console), POLLIN, 0});
    }
    const int ready = poll(waits.data(), waits.size(), session.MillisToTimer());
    if (ready < 0 && errno != EINTR) break;
    if (Interrupted()) {
      ClearInterrupt();
      // rl_end tells of the last line until a key is read into the new one.
      if (typedSinceStart && rl_end > 0) {
        // The line is dropped where it stood, marked, and a fresh one begins.
        display.Show(session.Prompt() + std::string(rl_line_buffer, rl_end) + "^C");
        // Installing the handler again starts an empty line (libedit's rl_replace_line
        // does nothing with an empty text).
        display.StopEditing();
        display.StartEditing(OnLine);
        typedSinceStart = false;
      } else {
        session.InterruptedOnEmptyLine();
      }
      continue;
    }
    if (ready > 0 && (waits[0].revents & POLLIN) == 0 &&
        (waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      session.Quit();  // the terminal went away
      break;
    }
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
      lineDone = false;
      rl_callback_read_char();
      typedSinceStart = true;
      if (lineDone) {
        // The finished line stays on the screen; libedit starts the next one afresh once it is
        // handled (its callback form keeps the finished line in its buffer otherwise).
        rl_replace_line("", 0);
        display.LineFinished();
        if (lineEnded) {
          std::fputs("\r\n", stdout);
          session.Quit();
        } else {
          KeepInHistory(finishedLine, historyPath);
          session.Submit(finishedLine);
        }
        if (session.Done()) break;
        display.StartEditing(OnLine);
        typedSinceStart = false;
      }
    }
    bool readable = false;
    for (std::size_t i = 1; i < waits.size(); ++i) readable = readable || waits[i].revents != 0;
    if (readable) session.OnReadable();
    session.OnTimer();
  }
  display.StopEditing();
  completing = nullptr;
  return session.ExitCode();
}

}  // namespace qc::attach
