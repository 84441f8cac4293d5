// The interactive session on a POSIX terminal: libedit's readline-compatible interface with
// its callback form (rl_callback_handler_install, rl_callback_read_char), so that one poll()
// waits on the keyboard and the console at once. Output that arrives while a line is being
// typed is written above it: the line is wiped, the output written, and libedit redraws the
// prompt and the line with the cursor where it was.
#include <editline/readline.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "client/history.h"
#include "client/session.h"

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

std::string lastLine;

void KeepInHistory(const std::string& line, const std::string& historyFile) {
  if (line.empty() || line == lastLine) return;
  lastLine = line;
  add_history(line.c_str());
  (void)AppendHistory(historyFile, line);
}

}  // namespace

int RunInteractive(InteractiveSession& session, const std::string& historyPath) {
  TerminalDisplay display(session);
  rl_readline_name = "quillaret-attach";
  using_history();
  stifle_history(kHistoryLines);
  for (const std::string& line : ReadHistory(historyPath)) add_history(line.c_str());

  display.StartEditing(OnLine);
  session.Start(display);
  while (!session.Done()) {
    pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {-1, POLLIN, 0}};
    const Connection console = session.Handle();
    nfds_t count = 1;
    if (console != kNoConnection) {
      waits[1].fd = static_cast<int>(console);
      count = 2;
    }
    const int ready = poll(waits, count, session.MillisToTimer());
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (waits[0].revents & POLLIN) == 0 &&
        (waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      session.Quit();  // the terminal went away
      break;
    }
    if (ready > 0 && (waits[0].revents & POLLIN) != 0) {
      lineDone = false;
      rl_callback_read_char();
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
      }
    }
    if (ready > 0 && count == 2 && waits[1].revents != 0) session.OnReadable();
    session.OnTimer();
  }
  display.StopEditing();
  return session.ExitCode();
}

}  // namespace qc::attach
