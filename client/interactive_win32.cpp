// The interactive session in a Windows console, with the client's own line editor
// (line_editor_win32.h): one thread waits on the console's input and every console's
// connection at once, and output that arrives while a line is being typed is printed above it.
// Tab asks the session for its candidates; Ctrl-C, which the editor reads as a key, clears the
// line being typed, or on an empty line has the session say how to leave.
// Up to 100 consoles at once: more than the 64 sockets select() takes by default.
#define FD_SETSIZE 128
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/core/history.h"
#include "client/core/line_editor_win32.h"
#include "client/core/platform.h"
#include "client/core/session.h"

namespace qc::attach {
namespace {

constexpr int kFallbackMillis = 50;

class ConsoleDisplay final : public Display {
 public:
  ConsoleDisplay(InteractiveSession& session, ConsoleEditor& editor)
      : session_(session), editor_(editor) {}
  void Show(const std::string& text) override { editor_.Print(text); }
  void PromptChanged() override { editor_.SetPrompt(session_.Prompt()); }
  void PauseEditing(bool paused) override { editor_.ShowLine(!paused); }

 private:
  InteractiveSession& session_;
  ConsoleEditor& editor_;
};

// Waits at most millis (-1: no limit) for typed input or for any of the connections to be
// readable. True when one of them is readable.
bool WaitForInput(HANDLE console, const std::vector<Connection>& connections, WSAEVENT event,
                  int millis) {
  // The event is tied to the sockets for this wait only, so that the set of connections may
  // change between waits (a console lost or found again): WSAEventSelect makes a socket
  // non-blocking, and the connections' sends expect it blocking.
  std::vector<SOCKET> tied;
  bool untied = false;
  for (const Connection connection : connections) {
    const auto s = static_cast<SOCKET>(connection);
    if (event != WSA_INVALID_EVENT && WSAEventSelect(s, event, FD_READ | FD_CLOSE) == 0) {
      tied.push_back(s);
    } else {
      untied = true;
    }
  }
  HANDLE waits[2] = {console, event};
  const DWORD count = tied.empty() ? 1 : 2;
  // A connection without the event is looked at every so often instead.
  if (untied && (millis < 0 || millis > kFallbackMillis)) millis = kFallbackMillis;
  const DWORD limit = millis < 0 ? INFINITE : static_cast<DWORD>(millis);
  (void)WaitForMultipleObjects(count, waits, FALSE, limit);
  for (const SOCKET s : tied) {
    (void)WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    (void)ioctlsocket(s, FIONBIO, &blocking);
  }
  if (!tied.empty()) (void)WSAResetEvent(event);
  if (connections.empty()) return false;
  fd_set readable;
  FD_ZERO(&readable);
  for (const Connection connection : connections) {
    FD_SET(static_cast<SOCKET>(connection), &readable);
  }
  timeval now{0, 0};
  return select(0, &readable, nullptr, nullptr, &now) > 0;
}

void KeepInHistory(ConsoleEditor& editor, const std::string& line, const std::string& path) {
  if (editor.Edit().Remember(line)) (void)AppendHistory(path, line);
}

}  // namespace

int RunInteractive(InteractiveSession& session, const std::string& historyPath) {
  ConsoleEditor editor;
  if (!editor.Open()) {
    std::fputs("quillaret-attach: the console's input cannot be read\n", stderr);
    session.Quit();
    return kExitUnreachable;
  }
  const WSAEVENT event = WSACreateEvent();
  ConsoleDisplay display(session, editor);
  editor.Edit().LoadHistory(ReadHistory(historyPath));
  // The session names the word Tab completes and its candidates; the editor takes whole
  // replacements for the line up to the cursor.
  editor.Edit().SetCompletion([&session](const std::string& lineSoFar) {
    const Completion completion = session.Completions(lineSoFar);
    std::vector<std::string> replacements;
    for (const std::string& candidate : completion.candidates) {
      replacements.push_back(lineSoFar.substr(0, completion.start) + candidate);
    }
    return replacements;
  });
  editor.SetPrompt(session.Prompt());
  editor.ShowLine(true);
  session.Start(display);
  while (!session.Done()) {
    const bool readable =
        WaitForInput(editor.InputHandle(), session.Handles(), event, session.MillisToTimer());
    // The editor reads Ctrl-C as a key; a Ctrl-C or Ctrl-Break the control handler caught
    // instead counts as the same key.
    bool interrupted = Interrupted();
    if (interrupted) ClearInterrupt();
    for (std::string line; !session.Done();) {
      const ConsoleEditor::Event typed = interrupted ? editor.Interrupt(line) : editor.Poll(line);
      interrupted = false;
      if (typed == ConsoleEditor::Event::kNone) break;
      if (typed == ConsoleEditor::Event::kLine) {
        KeepInHistory(editor, line, historyPath);
        session.Submit(line);
      } else if (typed == ConsoleEditor::Event::kEndOfInput) {
        session.Quit();
      } else if (line.empty()) {
        session.InterruptedOnEmptyLine();
      } else {
        // The line is dropped where it stood, marked, and a fresh one begins.
        display.Show(session.Prompt() + line + "^C");
      }
    }
    if (readable && !session.Done()) session.OnReadable();
    if (!session.Done()) session.OnTimer();
  }
  editor.Close();
  if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
  return session.ExitCode();
}

}  // namespace qc::attach
