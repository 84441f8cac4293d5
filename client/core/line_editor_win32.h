// The line editor of the Windows console: reads the console's input records itself
// (ReadConsoleInputW, with the console's own line input and echo off), hands the keys to
// LineEdit, and draws the prompt and the line with the console's screen-buffer calls, so that
// output printed above the line never mixes with it. It is the one reader of the console for
// typed lines and passwords alike: ReadConsoleSecret reads through the same records.
#pragma once

#include <string>
#include <vector>

#include "client/core/line_edit.h"

namespace qc::attach {

class ConsoleEditor {
 public:
  // What the records read so far asked for.
  enum class Event { kNone, kLine, kEndOfInput, kInterrupt };

  ConsoleEditor() = default;
  ConsoleEditor(const ConsoleEditor&) = delete;
  ConsoleEditor& operator=(const ConsoleEditor&) = delete;
  ~ConsoleEditor() { Close(); }

  // Takes the console: standard input when it is a console, and standard output (else the
  // console's own screen). False when there is no console to read.
  bool Open();
  // Gives the console its modes back; the line, if shown, stays on the screen.
  void Close();
  // The handle to wait on: signalled while input records are waiting.
  void* InputHandle() const { return in_; }

  LineEdit& Edit() { return edit_; }
  void SetPrompt(const std::string& prompt);
  // Shows the prompt and the line from where the cursor is, or wipes them.
  void ShowLine(bool shown);
  // Prints one line of output (UTF-8, with colour sequences only when colour was enabled)
  // above the prompt and the line, then draws them again.
  void Print(const std::string& text);

  // Reads the waiting records without waiting, until one finishes something: kLine (line holds
  // it, UTF-8), kEndOfInput, kInterrupt (Ctrl-C; line holds what was cleared), or kNone once
  // none are left.
  Event Poll(std::string& line);
  // Ctrl-C caught other than as a key (a control handler's signal): as if it had been typed.
  Event Interrupt(std::string& line);

 private:
  Event Take(const ConsoleKey& key, std::string& line, bool& dirty);
  void Draw();
  void Wipe();
  void FinishLine();
  void Write(const std::u16string& text);

  void* in_ = nullptr;
  void* out_ = nullptr;
  bool ownOut_ = false;
  unsigned long savedInMode_ = 0;
  bool open_ = false;
  LineEdit edit_;
  std::u16string prompt_;
  bool shown_ = false;
  int anchorX_ = 0;  // where the prompt begins in the screen buffer
  int anchorY_ = 0;
  std::size_t drawn_ = 0;  // cells drawn from the anchor
  unsigned short attributes_ = 0x07;
};

// While the editor or ReadConsoleSecret has the console's keys, puts a Ctrl-C key into its input
// and returns true: how a Ctrl-C that came as a signal (wine, or a control handler that caught
// it first) reaches the one reader. False when nobody reads the keys.
bool PutBackInterrupt();

// Asks for a password on the console without showing what is typed: the same reader as the
// editor's, so no other reader can take the typed text for a line. False at Ctrl-C (then
// interrupted is set), Ctrl-D, Ctrl-Z then Enter, or when there is no console.
bool ReadConsoleSecret(const char* prompt, std::string& secret, bool& interrupted);

}  // namespace qc::attach
