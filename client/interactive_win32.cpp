// The interactive session in a Windows console, with the console's own line input: its
// editing keys, and its history of this run (Up, Down, F7). A thread reads the typed lines; the
// main thread waits on the console's connection and takes them in turn. Output that arrives
// while a line is being typed is written where the cursor is, and the prompt is written again
// after it.
// Up to 100 consoles at once: more than the 64 sockets select() takes by default.
#define FD_SETSIZE 128
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "client/session.h"

namespace qc::attach {
namespace {

constexpr int kSliceMillis = 50;

struct TypedLines {
  CRITICAL_SECTION lock;
  std::deque<std::string> lines;
  bool ended = false;
};

DWORD WINAPI ReadTypedLines(void* argument) {
  auto& typed = *static_cast<TypedLines*>(argument);
  static char buffer[65536];
  for (int failures = 0; failures < 100;) {
    if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
      // Ctrl-C can end a console read without the end of input: read on.
      if (std::feof(stdin)) break;
      std::clearerr(stdin);
      ++failures;
      Sleep(50);
      continue;
    }
    failures = 0;
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == "\x04") break;  // Ctrl-D, as on other systems
    EnterCriticalSection(&typed.lock);
    typed.lines.push_back(line);
    LeaveCriticalSection(&typed.lock);
  }
  EnterCriticalSection(&typed.lock);
  typed.ended = true;  // Ctrl-Z and Enter, or Ctrl-D
  LeaveCriticalSection(&typed.lock);
  return 0;
}

class ConsoleDisplay final : public Display {
 public:
  explicit ConsoleDisplay(InteractiveSession& session) : session_(session) {}
  void Show(const std::string& text) override {
    if (promptShown_) std::fputs("\n", stdout);
    std::fputs(text.c_str(), stdout);
    std::fputs("\n", stdout);
    promptShown_ = false;
  }
  void PromptChanged() override {}
  void PauseEditing(bool) override {}
  void ShowPrompt() {
    if (promptShown_) return;
    std::fputs(session_.Prompt().c_str(), stdout);
    std::fflush(stdout);
    promptShown_ = true;
  }
  void LineTaken() { promptShown_ = false; }

 private:
  InteractiveSession& session_;
  bool promptShown_ = false;
};

}  // namespace

int RunInteractive(InteractiveSession& session, const std::string&) {
  static TypedLines typed;
  InitializeCriticalSection(&typed.lock);
  ConsoleDisplay display(session);
  session.Start(display);
  const HANDLE reader = CreateThread(nullptr, 0, ReadTypedLines, &typed, 0, nullptr);
  if (reader == nullptr) return kExitUnreachable;
  CloseHandle(reader);
  while (!session.Done()) {
    display.ShowPrompt();
    std::string line;
    bool have = false;
    bool ended = false;
    EnterCriticalSection(&typed.lock);
    if (!typed.lines.empty()) {
      line = typed.lines.front();
      typed.lines.pop_front();
      have = true;
    }
    ended = typed.ended && typed.lines.empty();
    LeaveCriticalSection(&typed.lock);
    if (have) {
      display.LineTaken();
      session.Submit(line);
      continue;
    }
    if (ended) {
      session.Quit();
      break;
    }
    if (Interrupted()) {
      // The console's own line input keeps what was typed; the session says how to leave.
      ClearInterrupt();
      session.InterruptedOnEmptyLine();
    }
    int wait = session.MillisToTimer();
    if (wait < 0 || wait > kSliceMillis) wait = kSliceMillis;
    const std::vector<Connection> consoles = session.Handles();
    if (consoles.empty()) {
      Sleep(static_cast<DWORD>(wait));
    } else {
      fd_set readable;
      FD_ZERO(&readable);
      for (const Connection console : consoles) FD_SET(static_cast<SOCKET>(console), &readable);
      timeval limit{0, wait * 1000};
      if (select(0, &readable, nullptr, nullptr, &limit) > 0) session.OnReadable();
    }
    session.OnTimer();
    std::fflush(stdout);
  }
  std::fflush(stdout);
  // The reader thread may be waiting for a line that never comes: leave without it.
  std::_Exit(session.ExitCode());
}

}  // namespace qc::attach
