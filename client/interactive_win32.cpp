// The interactive session in a Windows console, with the client's own line editor
// (line_editor_win32.h): one thread waits on the console's input and the console's connection
// at once, and output that arrives while a line is being typed is printed above it.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "client/history.h"
#include "client/line_editor_win32.h"
#include "client/session.h"

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

// Waits at most millis (-1: no limit) for typed input or for the connection to be readable.
// True when the connection is readable.
bool WaitForInput(HANDLE console, Connection connection, WSAEVENT event, int millis) {
  HANDLE waits[2] = {console, event};
  DWORD count = 1;
  const auto s = static_cast<SOCKET>(connection);
  // The event is tied to the socket for this wait only: WSAEventSelect makes a socket
  // non-blocking, and the connection's sends expect it blocking.
  if (connection != kNoConnection && WSAEventSelect(s, event, FD_READ | FD_CLOSE) == 0) count = 2;
  // Without the event the connection is looked at every so often instead.
  if (connection != kNoConnection && count == 1 && (millis < 0 || millis > kFallbackMillis)) {
    millis = kFallbackMillis;
  }
  (void)WaitForMultipleObjects(count, waits, FALSE, millis < 0 ? INFINITE : static_cast<DWORD>(millis));
  if (count == 2) {
    (void)WSAEventSelect(s, nullptr, 0);
    u_long blocking = 0;
    (void)ioctlsocket(s, FIONBIO, &blocking);
    (void)WSAResetEvent(event);
  }
  if (connection == kNoConnection) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
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
  editor.SetPrompt(session.Prompt());
  editor.ShowLine(true);
  session.Start(display);
  while (!session.Done()) {
    const bool readable = WaitForInput(editor.InputHandle(), session.Handle(), event,
                                       session.MillisToTimer());
    for (std::string line; !session.Done();) {
      const ConsoleEditor::Event typed = editor.Poll(line);
      if (typed == ConsoleEditor::Event::kNone) break;
      if (typed == ConsoleEditor::Event::kLine) {
        KeepInHistory(editor, line, historyPath);
        session.Submit(line);
      } else if (typed == ConsoleEditor::Event::kEndOfInput) {
        session.Quit();
      } else if (line.empty()) {
        // Ctrl-C on an empty line: the line editor of every shell stays, and says how to go.
        display.Show("quillaret-attach: Ctrl-D (or Ctrl-Z and Enter, or :quit) leaves");
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
