#include "client/core/line_editor_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "client/core/protocol.h"

namespace qc::attach {
namespace {

// The input buffer a Ctrl-C is delivered to. The console reports Ctrl-C as a key record once
// its processed input is off; wine's console on a Unix terminal still raises it as a signal,
// which arrives here as CTRL_C_EVENT on a thread of its own, so it is put back into the input
// as the same record. Either way the one reader sees one Ctrl-C key.
std::atomic<HANDLE> interruptTarget{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;  // Ctrl-Break, close: the next handler's
  return PutBackInterrupt() ? TRUE : FALSE;
}

// Turns the console's line input, echo and Ctrl-C processing off, so that every key comes as an
// input record, Ctrl-C too. False when the console refused; saved holds the mode to give back.
bool TakeKeys(HANDLE in, DWORD& saved) {
  if (GetConsoleMode(in, &saved) == 0) return false;
  const DWORD kept = saved & (ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE);
  if (SetConsoleMode(in, kept | ENABLE_EXTENDED_FLAGS | ENABLE_WINDOW_INPUT) == 0) return false;
  interruptTarget = in;
  (void)SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  return true;
}

void GiveKeysBack(HANDLE in, DWORD saved, HANDLE previousTarget) {
  (void)SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  interruptTarget = previousTarget;
  (void)SetConsoleMode(in, saved);
}

// The keys taken for as long as it lives (a password's reading).
class RawInput {
 public:
  explicit RawInput(HANDLE in)
      : in_(in), previousTarget_(interruptTarget), taken_(TakeKeys(in, saved_)) {}
  ~RawInput() {
    if (taken_) GiveKeysBack(in_, saved_, previousTarget_);
  }
  RawInput(const RawInput&) = delete;
  RawInput& operator=(const RawInput&) = delete;
  bool Taken() const { return taken_; }

 private:
  HANDLE in_;
  HANDLE previousTarget_;
  DWORD saved_ = 0;
  bool taken_;
};

enum class Record { kKey, kResized, kNone, kFailed };

// Reads one input record: a key going down (or a character typed with Alt and the numeric
// keypad, which comes with Alt going up), a change of the buffer's size, or kNone for any
// other record, and when nothing is waiting and `wait` is false.
Record ReadRecord(HANDLE in, bool wait, ConsoleKey& key) {
  DWORD waiting = 0;
  if (!wait && (GetNumberOfConsoleInputEvents(in, &waiting) == 0 || waiting == 0)) {
    return Record::kNone;
  }
  INPUT_RECORD record{};
  DWORD got = 0;
  if (ReadConsoleInputW(in, &record, 1, &got) == 0 || got == 0) return Record::kFailed;
  if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) return Record::kResized;
  if (record.EventType != KEY_EVENT) return Record::kNone;
  const KEY_EVENT_RECORD& event = record.Event.KeyEvent;
  const bool altTyped =
      !event.bKeyDown && event.wVirtualKeyCode == VK_MENU && event.uChar.UnicodeChar != 0;
  if (!event.bKeyDown && !altTyped) return Record::kNone;
  key.virtualKey = altTyped ? 0 : event.wVirtualKeyCode;
  key.unit = static_cast<char16_t>(event.uChar.UnicodeChar);
  key.modifiers = altTyped ? 0 : event.dwControlKeyState;
  return Record::kKey;
}

void WriteTo(HANDLE out, const std::u16string& text) {
  DWORD written = 0;
  (void)WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

// Standard output when it is the console, else the console's own screen (own is then set and
// the caller closes it); INVALID_HANDLE_VALUE when there is none.
HANDLE ConsoleScreen(bool& own) {
  own = false;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (IsConsole(out)) return out;
  own = true;
  return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

bool PutBackInterrupt() {
  const HANDLE target = interruptTarget;
  if (target == nullptr) return false;
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = 'C';
  record.Event.KeyEvent.uChar.UnicodeChar = 0x03;
  record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
  DWORD written = 0;
  return WriteConsoleInputW(target, &record, 1, &written) != 0 && written == 1;
}

bool ConsoleEditor::Open() {
  if (open_) return true;
  in_ = GetStdHandle(STD_INPUT_HANDLE);
  if (!IsConsole(in_)) return false;
  out_ = ConsoleScreen(ownOut_);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (out_ == INVALID_HANDLE_VALUE || GetConsoleScreenBufferInfo(out_, &info) == 0) {
    if (ownOut_ && out_ != INVALID_HANDLE_VALUE) CloseHandle(out_);
    return false;
  }
  attributes_ = info.wAttributes;
  DWORD saved = 0;
  if (!TakeKeys(in_, saved)) {
    if (ownOut_) CloseHandle(out_);
    return false;
  }
  savedInMode_ = saved;
  open_ = true;
  return true;
}

void ConsoleEditor::Close() {
  if (!open_) return;
  if (shown_) Wipe();
  shown_ = false;
  GiveKeysBack(in_, savedInMode_, nullptr);
  if (ownOut_) CloseHandle(out_);
  open_ = false;
}

void ConsoleEditor::SetPrompt(const std::string& prompt) {
  prompt_ = Utf8ToUtf16(prompt);
  if (shown_) Draw();
}

void ConsoleEditor::ShowLine(bool shown) {
  if (!open_ || shown == shown_) return;
  if (!shown) {
    Wipe();
    shown_ = false;
    return;
  }
  CONSOLE_SCREEN_BUFFER_INFO info{};
  (void)GetConsoleScreenBufferInfo(out_, &info);
  if (info.dwCursorPosition.X != 0) {
    Write(u"\r\n");
    (void)GetConsoleScreenBufferInfo(out_, &info);
  }
  anchorX_ = 0;
  anchorY_ = info.dwCursorPosition.Y;
  drawn_ = 0;
  shown_ = true;
  Draw();
}

void ConsoleEditor::Print(const std::string& text) {
  if (!open_) {
    std::fputs((text + "\n").c_str(), stdout);
    return;
  }
  if (shown_) Wipe();
  Write(Utf8ToUtf16(text) + u"\r\n");
  if (!shown_) return;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  (void)GetConsoleScreenBufferInfo(out_, &info);
  anchorX_ = info.dwCursorPosition.X;
  anchorY_ = info.dwCursorPosition.Y;
  Draw();
}

ConsoleEditor::Event ConsoleEditor::Poll(std::string& line) {
  bool dirty = false;
  for (;;) {
    ConsoleKey key;
    const Record record = ReadRecord(in_, false, key);
    if (record == Record::kResized) dirty = true;
    if (record == Record::kNone || record == Record::kResized) {
      // kNone also stands for records that are no keys: read on while any are waiting.
      DWORD waiting = 0;
      if (GetNumberOfConsoleInputEvents(in_, &waiting) != 0 && waiting > 0) continue;
      break;
    }
    if (record == Record::kFailed) {
      line.clear();
      return Event::kEndOfInput;
    }
    const Event event = Take(key, line, dirty);
    if (event != Event::kNone) return event;
  }
  if (dirty && shown_) Draw();
  return Event::kNone;
}

ConsoleEditor::Event ConsoleEditor::Interrupt(std::string& line) {
  bool dirty = false;
  const Event event = Take(ConsoleKey{'C', 0x03, keys::kLeftCtrl}, line, dirty);
  if (dirty && shown_) Draw();
  return event;
}

ConsoleEditor::Event ConsoleEditor::Take(const ConsoleKey& key, std::string& line, bool& dirty) {
  switch (edit_.Press(key)) {
    case EditResult::kUnchanged:
      break;
    case EditResult::kChanged:
      dirty = true;
      break;
    case EditResult::kSubmitted:
      if (shown_) Draw();
      line = edit_.TakeLine();
      FinishLine();
      if (shown_) Draw();
      return Event::kLine;
    case EditResult::kCleared:
      line = edit_.ClearedText();
      if (shown_) Draw();
      return Event::kInterrupt;
    case EditResult::kEndOfInput:
      if (shown_) Draw();
      FinishLine();
      shown_ = false;
      line.clear();
      return Event::kEndOfInput;
    case EditResult::kCandidates: {
      // Each candidate replaces the whole line up to the cursor; the list shows only the
      // completed words: each candidate from the last word break (space, tab, '(' or ',', as
      // the session splits words) in the text all of them share.
      const std::vector<std::string>& candidates = edit_.Candidates();
      const std::string& first = candidates.front();
      std::size_t shared = first.size();
      for (const std::string& candidate : candidates) {
        std::size_t same = 0;
        while (same < shared && same < candidate.size() && candidate[same] == first[same]) ++same;
        shared = same;
      }
      const std::size_t cut =
          shared == 0 ? std::string::npos : first.find_last_of(" \t(,", shared - 1);
      const std::size_t from = cut == std::string::npos ? 0 : cut + 1;
      std::string listed;
      for (const std::string& candidate : candidates) {
        listed += (listed.empty() ? "" : "  ") + candidate.substr(from);
      }
      // Object names come from the game: shown escaped, as every line from it is.
      Print(EscapeControlBytes(listed));
      break;
    }
  }
  return Event::kNone;
}

void ConsoleEditor::Draw() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(out_, &info) == 0) return;
  const int width = std::max<int>(1, info.dwSize.X);
  const int height = std::max<int>(1, info.dwSize.Y);
  const EditView view = edit_.View();
  const std::u16string all = view.search ? view.text : prompt_ + view.text;
  const std::size_t cursor = view.search ? view.cursor : prompt_.size() + view.cursor;
  auto cellAt = [&](std::size_t index) {
    const std::size_t linear = static_cast<std::size_t>(anchorX_) + index;
    return COORD{
        static_cast<SHORT>(linear % static_cast<std::size_t>(width)),
        static_cast<SHORT>(anchorY_ + static_cast<int>(linear / static_cast<std::size_t>(width)))};
  };
  // The cell after the text must exist too (the cursor may stand there): when the line would
  // run past the buffer's last row, the buffer is scrolled up first, as output would scroll it.
  const int lastRow = cellAt(std::max(all.size(), cursor)).Y;
  if (lastRow >= height) {
    const int scroll = lastRow - (height - 1);
    (void)SetConsoleCursorPosition(out_, COORD{0, static_cast<SHORT>(height - 1)});
    Write(std::u16string(static_cast<std::size_t>(scroll), u'\n'));
    anchorY_ = std::max(0, anchorY_ - scroll);
  }
  DWORD done = 0;
  const COORD start = cellAt(0);
  (void)WriteConsoleOutputCharacterW(out_, reinterpret_cast<const wchar_t*>(all.data()),
                                     static_cast<DWORD>(all.size()), start, &done);
  (void)FillConsoleOutputAttribute(out_, attributes_, static_cast<DWORD>(all.size()), start, &done);
  if (drawn_ > all.size()) {
    (void)FillConsoleOutputCharacterW(out_, L' ', static_cast<DWORD>(drawn_ - all.size()),
                                      cellAt(all.size()), &done);
  }
  drawn_ = all.size();
  (void)SetConsoleCursorPosition(out_, cellAt(cursor));
}

void ConsoleEditor::Wipe() {
  DWORD done = 0;
  const COORD start{static_cast<SHORT>(anchorX_), static_cast<SHORT>(anchorY_)};
  if (drawn_ > 0) {
    (void)FillConsoleOutputCharacterW(out_, L' ', static_cast<DWORD>(drawn_), start, &done);
  }
  (void)SetConsoleCursorPosition(out_, start);
  drawn_ = 0;
}

// The line stays on the screen as it was typed; the next one begins on the row below it.
void ConsoleEditor::FinishLine() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(out_, &info) == 0) return;
  const std::size_t width = static_cast<std::size_t>(std::max<int>(1, info.dwSize.X));
  const std::size_t end = static_cast<std::size_t>(anchorX_) + drawn_;
  (void)SetConsoleCursorPosition(
      out_, COORD{static_cast<SHORT>(end % width),
                  static_cast<SHORT>(anchorY_ + static_cast<int>(end / width))});
  if (drawn_ == 0 || end % width != 0) Write(u"\r\n");
  (void)GetConsoleScreenBufferInfo(out_, &info);
  anchorX_ = 0;
  anchorY_ = info.dwCursorPosition.Y;
  drawn_ = 0;
}

void ConsoleEditor::Write(const std::u16string& text) { WriteTo(out_, text); }

bool ReadConsoleSecret(const char* prompt, std::string& secret, bool& interrupted) {
  secret.clear();
  interrupted = false;
  // Standard input when it is the console; else the console itself, so that a script on
  // standard input can still be given a password.
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  bool ownIn = false;
  if (!IsConsole(in)) {
    in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (!IsConsole(in)) {
      if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
      return false;
    }
    ownIn = true;
  }
  bool ownOut = false;
  const HANDLE out = ConsoleScreen(ownOut);
  const bool canShow = out != INVALID_HANDLE_VALUE;
  if (canShow) WriteTo(out, Utf8ToUtf16(prompt));
  bool given = false;
  {
    RawInput raw(in);
    LineEdit typed;  // never drawn: nothing typed is shown
    for (bool reading = raw.Taken(); reading;) {
      ConsoleKey key;
      const Record record = ReadRecord(in, true, key);
      if (record == Record::kFailed) break;
      if (record != Record::kKey) continue;
      switch (typed.Press(key)) {
        case EditResult::kSubmitted:
          secret = typed.TakeLine();
          given = true;
          reading = false;
          break;
        case EditResult::kCleared:
          interrupted = true;
          reading = false;
          break;
        case EditResult::kEndOfInput:
          reading = false;
          break;
        default:
          break;
      }
    }
  }
  if (canShow) WriteTo(out, u"\r\n");
  if (ownOut && canShow) CloseHandle(out);
  if (ownIn) CloseHandle(in);
  return given;
}

}  // namespace qc::attach
