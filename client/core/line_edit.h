// The editing of one typed line, apart from any terminal: the text and its cursor, the keys that
// change them, the history walk, Ctrl-R and prefix search, completion, and the conversions
// between UTF-16 (what the Windows console types and shows) and UTF-8 (what goes on the wire
// and into the history file), and how to tell a mintty terminal, which is no console. The
// Windows console front end (line_editor_win32.cpp) feeds it the console's key records and
// draws what it holds; the tests feed it the same records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qc::attach {

// One key press as the Windows console reports it: the virtual-key code, the UTF-16 code unit
// it types (0 for none) and the modifier keys held (the console's *_PRESSED bits).
struct ConsoleKey {
  std::uint16_t virtualKey = 0;
  char16_t unit = 0;
  std::uint32_t modifiers = 0;
};

// The virtual-key codes and modifier bits the editor knows, as the Windows headers number them.
namespace keys {
constexpr std::uint16_t kBack = 0x08, kTab = 0x09, kReturn = 0x0D, kEscape = 0x1B, kEnd = 0x23,
                        kHome = 0x24, kLeft = 0x25, kUp = 0x26, kRight = 0x27, kDown = 0x28,
                        kDelete = 0x2E, kF8 = 0x77;
constexpr std::uint32_t kRightAlt = 0x01, kLeftAlt = 0x02, kRightCtrl = 0x04, kLeftCtrl = 0x08;
}  // namespace keys

// What a key press did.
enum class EditResult {
  kUnchanged,   // nothing to draw again
  kChanged,     // the line, the cursor or the search changed: draw it again
  kSubmitted,   // Enter: TakeLine() gives the line
  kCleared,     // Ctrl-C: the line is empty now; ClearedText() is what it held
  kEndOfInput,  // Ctrl-D on an empty line, or Enter on a line that begins with Ctrl-Z
  kCandidates,  // Tab found several completions and none longer: Candidates() lists them
};

// Completion: given the line up to the cursor (UTF-8), the texts that could stand in its place,
// each a whole replacement for it (":to gob" gives ":to goblin").
using CompletionSource = std::function<std::vector<std::string>(const std::string& lineSoFar)>;

// What to draw after the prompt: one UTF-16 code unit a cell, control characters as ^X.
struct EditView {
  std::u16string text;
  std::size_t cursor = 0;  // the cell the cursor is on, counted in text
  bool search = false;     // the text begins with the search's own prompt, shown instead of ours
};

class LineEdit {
 public:
  // The history to walk, oldest first (UTF-8 lines, as the history file holds them).
  void LoadHistory(const std::vector<std::string>& lines);
  // Adds a line the developer sent, unless it is empty or the same as the newest. True when
  // it was added (the caller then appends it to the history file).
  bool Remember(const std::string& line);
  void SetCompletion(CompletionSource source) { complete_ = std::move(source); }

  // One key press (a key going down).
  EditResult Press(const ConsoleKey& key);
  // The submitted line in UTF-8; the editor starts an empty line.
  std::string TakeLine();
  const std::string& ClearedText() const { return cleared_; }
  const std::vector<std::string>& Candidates() const { return candidates_; }

  EditView View() const;
  // The line (UTF-16) and the cursor in it, for the tests and the redraw.
  const std::u16string& Text() const { return text_; }
  std::size_t Cursor() const { return cursor_; }

 private:
  EditResult PressEditing(const ConsoleKey& key);
  EditResult PressSearching(const ConsoleKey& key);
  bool FindOlder(std::size_t from, const std::u16string& needle);
  void Recall(std::size_t index);
  void Insert(char16_t unit);
  EditResult Complete();
  std::size_t WordLeft() const;
  std::size_t WordRight() const;

  std::u16string text_;
  std::size_t cursor_ = 0;
  std::vector<std::u16string> history_;
  std::size_t walk_ = 0;    // the history entry shown; history_.size() for the new line
  std::u16string newLine_;  // the line being typed before Up was first pressed
  bool searching_ = false;
  bool searchFailed_ = false;
  std::u16string query_;
  std::size_t match_ = 0;  // the entry the search shows (history_.size(): none yet)
  std::u16string beforeSearch_;
  std::size_t cursorBeforeSearch_ = 0;
  CompletionSource complete_;
  std::vector<std::string> candidates_;
  std::string cleared_;
};

// Whether a pipe of this name (as GetFileInformationByHandleEx gives it, "\msys-...") is the
// terminal of a Cygwin or MSYS terminal window (mintty, Git Bash) standing in for a console.
bool IsPtyPipeName(std::string_view name);
// What the client says when its input is such a terminal: how to run it interactively.
extern const char* const kNotAConsoleAdvice;

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; every byte that does not begin a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace qc::attach
