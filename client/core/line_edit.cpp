#include "client/core/line_edit.h"

#include <algorithm>

#include "client/core/options.h"

namespace qc::attach {
namespace {

constexpr char16_t kCtrlZ = 0x1A;
constexpr std::u16string_view kSearchPrompt = u"(reverse-i-search)`";
constexpr std::u16string_view kFailedSearchPrompt = u"(failed reverse-i-search)`";

bool IsSurrogateHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsSurrogateLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool IsWordUnit(char16_t unit) {
  return unit > 0x7F || (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'z') ||
         (unit >= 'A' && unit <= 'Z') || unit == '_';
}

// Appends the text with control characters shown as ^X; returns the cells the first `upTo`
// units of it take.
std::size_t AppendShown(std::u16string& out, std::u16string_view text, std::size_t upTo) {
  std::size_t cells = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool control = unit < 0x20 || unit == 0x7F;
    if (control) {
      out += u'^';
      out += unit == 0x7F ? u'?' : static_cast<char16_t>(unit + 0x40);
    } else {
      out += unit;
    }
    if (i < upTo) cells += control ? 2 : 1;
  }
  return cells;
}

}  // namespace

void LineEdit::LoadHistory(const std::vector<std::string>& lines) {
  history_.clear();
  const std::size_t keep = static_cast<std::size_t>(kHistoryLines);
  const std::size_t first = lines.size() > keep ? lines.size() - keep : 0;
  for (std::size_t i = first; i < lines.size(); ++i) history_.push_back(Utf8ToUtf16(lines[i]));
  walk_ = history_.size();
}

bool LineEdit::Remember(const std::string& line) {
  const std::u16string units = Utf8ToUtf16(line);
  walk_ = history_.size();
  if (units.empty() || (!history_.empty() && history_.back() == units)) return false;
  if (history_.size() == static_cast<std::size_t>(kHistoryLines)) history_.erase(history_.begin());
  history_.push_back(units);
  walk_ = history_.size();
  return true;
}

std::string LineEdit::TakeLine() {
  const std::string line = Utf16ToUtf8(text_);
  text_.clear();
  cursor_ = 0;
  walk_ = history_.size();
  newLine_.clear();
  return line;
}

EditResult LineEdit::Press(const ConsoleKey& key) {
  // Shift, Ctrl, Alt, the Windows keys and the locks go down before the key they modify, and
  // mean nothing alone (nor do they end a search).
  const std::uint16_t vk = key.virtualKey;
  if (key.unit == 0 && ((vk >= 0x10 && vk <= 0x12) || vk == 0x14 || vk == 0x5B || vk == 0x5C ||
                        vk == 0x90 || vk == 0x91 || (vk >= 0xA0 && vk <= 0xA5))) {
    return EditResult::kUnchanged;
  }
  return searching_ ? PressSearching(key) : PressEditing(key);
}

EditResult LineEdit::PressEditing(const ConsoleKey& key) {
  const bool ctrl = (key.modifiers & (keys::kLeftCtrl | keys::kRightCtrl)) != 0;
  const bool alt = (key.modifiers & (keys::kLeftAlt | keys::kRightAlt)) != 0;
  const char16_t unit = key.unit;
  // Alt with a letter (and no Ctrl: AltGr is Ctrl+Alt and types characters) moves by words.
  if (alt && !ctrl && (unit == u'b' || unit == u'f')) {
    cursor_ = unit == u'b' ? WordLeft() : WordRight();
    return EditResult::kChanged;
  }
  if (key.virtualKey == keys::kReturn || unit == u'\r') {
    if (!text_.empty() && text_[0] == kCtrlZ) return EditResult::kEndOfInput;
    return EditResult::kSubmitted;
  }
  if (key.virtualKey == keys::kBack || unit == u'\b' || unit == 0x7F) {
    if (cursor_ == 0) return EditResult::kUnchanged;
    // Ctrl-Backspace (0x7F) takes the word before the cursor, Backspace one character.
    std::size_t from = cursor_ - 1;
    if (unit == 0x7F) {
      from = WordLeft();
    } else if (from > 0 && IsSurrogateLow(text_[from]) && IsSurrogateHigh(text_[from - 1])) {
      --from;
    }
    text_.erase(from, cursor_ - from);
    cursor_ = from;
    return EditResult::kChanged;
  }
  if (key.virtualKey == keys::kTab || unit == u'\t') return Complete();
  if (key.virtualKey == keys::kEscape || unit == 0x1B) {  // as in the Windows console: clear
    if (text_.empty()) return EditResult::kUnchanged;
    text_.clear();
    cursor_ = 0;
    return EditResult::kChanged;
  }
  if (unit >= 0x20) {
    Insert(unit);
    return EditResult::kChanged;
  }
  const std::size_t before = cursor_;
  switch (unit) {
    case 0x01:
      cursor_ = 0;
      break;  // Ctrl-A
    case 0x05:
      cursor_ = text_.size();
      break;  // Ctrl-E
    case 0x02:
      return PressEditing({keys::kLeft, 0, 0});  // Ctrl-B
    case 0x06:
      return PressEditing({keys::kRight, 0, 0});  // Ctrl-F
    case 0x10:
      return PressEditing({keys::kUp, 0, 0});  // Ctrl-P
    case 0x0E:
      return PressEditing({keys::kDown, 0, 0});  // Ctrl-N
    case 0x03:                                   // Ctrl-C
      cleared_ = Utf16ToUtf8(text_);
      text_.clear();
      cursor_ = 0;
      walk_ = history_.size();
      newLine_.clear();
      return EditResult::kCleared;
    case 0x04:  // Ctrl-D
      if (text_.empty()) return EditResult::kEndOfInput;
      return PressEditing({keys::kDelete, 0, 0});
    case 0x0B:
      text_.erase(cursor_);
      return EditResult::kChanged;  // Ctrl-K
    case 0x15:                      // Ctrl-U
      text_.erase(0, cursor_);
      cursor_ = 0;
      return EditResult::kChanged;
    case 0x17: {  // Ctrl-W
      const std::size_t from = WordLeft();
      text_.erase(from, cursor_ - from);
      cursor_ = from;
      return EditResult::kChanged;
    }
    case 0x12:  // Ctrl-R
      searching_ = true;
      searchFailed_ = false;
      query_.clear();
      match_ = history_.size();
      beforeSearch_ = text_;
      cursorBeforeSearch_ = cursor_;
      return EditResult::kChanged;
    case kCtrlZ:  // kept in the line: Enter on a line that begins with it ends the input
      Insert(unit);
      return EditResult::kChanged;
    case 0:
      break;
    default:
      return EditResult::kUnchanged;
  }
  if (unit != 0) return cursor_ != before ? EditResult::kChanged : EditResult::kUnchanged;

  switch (key.virtualKey) {
    case keys::kLeft:
      if (ctrl) {
        cursor_ = WordLeft();
      } else if (cursor_ > 0) {
        --cursor_;
        if (cursor_ > 0 && IsSurrogateLow(text_[cursor_]) && IsSurrogateHigh(text_[cursor_ - 1])) {
          --cursor_;
        }
      }
      break;
    case keys::kRight:
      if (ctrl) {
        cursor_ = WordRight();
      } else if (cursor_ < text_.size()) {
        ++cursor_;
        if (cursor_ < text_.size() && IsSurrogateLow(text_[cursor_])) ++cursor_;
      }
      break;
    case keys::kHome:
      cursor_ = 0;
      break;
    case keys::kEnd:
      cursor_ = text_.size();
      break;
    case keys::kDelete:
      if (cursor_ == text_.size()) return EditResult::kUnchanged;
      text_.erase(cursor_, cursor_ + 1 < text_.size() && IsSurrogateHigh(text_[cursor_]) &&
                                   IsSurrogateLow(text_[cursor_ + 1])
                               ? 2
                               : 1);
      return EditResult::kChanged;
    case keys::kUp:
      if (walk_ == 0) return EditResult::kUnchanged;
      Recall(walk_ - 1);
      return EditResult::kChanged;
    case keys::kDown:
      if (walk_ >= history_.size()) return EditResult::kUnchanged;
      Recall(walk_ + 1);
      return EditResult::kChanged;
    case keys::kF8: {
      // The Windows console's own key: the next older line that begins with what is before
      // the cursor; the cursor stays where it was.
      const std::u16string prefix = text_.substr(0, cursor_);
      const std::size_t keepCursor = cursor_;
      for (std::size_t i = walk_; i > 0; --i) {
        if (history_[i - 1] != text_ && history_[i - 1].compare(0, prefix.size(), prefix) == 0) {
          Recall(i - 1);
          cursor_ = keepCursor;
          return EditResult::kChanged;
        }
      }
      return EditResult::kUnchanged;
    }
    default:
      return EditResult::kUnchanged;
  }
  return cursor_ != before ? EditResult::kChanged : EditResult::kUnchanged;
}

EditResult LineEdit::PressSearching(const ConsoleKey& key) {
  const char16_t unit = key.unit;
  const bool ctrl = (key.modifiers & (keys::kLeftCtrl | keys::kRightCtrl)) != 0;
  if (unit == 0x12) {  // Ctrl-R again: the next older match
    if (!query_.empty() && match_ < history_.size()) {
      searchFailed_ = match_ == 0 || !FindOlder(match_ - 1, query_);
    }
    return EditResult::kChanged;
  }
  if (unit == 0x03 || unit == 0x07 || key.virtualKey == keys::kEscape) {
    // Ctrl-C, Ctrl-G or Escape: the search is abandoned and the line is as it was.
    searching_ = false;
    text_ = beforeSearch_;
    cursor_ = cursorBeforeSearch_;
    return EditResult::kChanged;
  }
  if (key.virtualKey == keys::kBack && !ctrl) {
    if (!query_.empty()) query_.pop_back();
    searchFailed_ = !query_.empty() && !FindOlder(history_.size(), query_);
    return EditResult::kChanged;
  }
  if (unit >= 0x20 && unit != 0x7F) {
    query_ += unit;
    searchFailed_ = !FindOlder(match_, query_);
    return EditResult::kChanged;
  }
  // Any other key takes the line found and then does what it does on the line.
  searching_ = false;
  if (match_ < history_.size()) {
    if (walk_ == history_.size()) newLine_ = beforeSearch_;
    walk_ = match_;
  }
  const EditResult result = PressEditing(key);
  return result == EditResult::kUnchanged ? EditResult::kChanged : result;
}

// Looks for needle in history entries from index `from` (inclusive; history_.size() means the
// newest) towards the oldest. Shows the entry found, with the cursor on the match.
bool LineEdit::FindOlder(std::size_t from, const std::u16string& needle) {
  for (std::size_t i = std::min(from + 1, history_.size()); i > 0; --i) {
    const std::u16string& entry = history_[i - 1];
    const std::size_t at = entry.find(needle);
    if (at == std::u16string::npos) continue;
    match_ = i - 1;
    text_ = entry;
    cursor_ = at;
    return true;
  }
  return false;
}

void LineEdit::Recall(std::size_t index) {
  if (walk_ == history_.size()) newLine_ = text_;
  walk_ = index;
  text_ = walk_ < history_.size() ? history_[walk_] : newLine_;
  cursor_ = text_.size();
}

void LineEdit::Insert(char16_t unit) {
  text_.insert(text_.begin() + static_cast<std::ptrdiff_t>(cursor_), unit);
  ++cursor_;
}

EditResult LineEdit::Complete() {
  if (!complete_) return EditResult::kUnchanged;
  candidates_ = complete_(Utf16ToUtf8(text_.substr(0, cursor_)));
  if (candidates_.empty()) return EditResult::kUnchanged;
  std::u16string common = Utf8ToUtf16(candidates_[0]);
  for (std::size_t i = 1; i < candidates_.size(); ++i) {
    const std::u16string other = Utf8ToUtf16(candidates_[i]);
    const auto differ = std::mismatch(common.begin(), common.end(), other.begin(), other.end());
    common.erase(differ.first, common.end());
  }
  if (common.size() > cursor_ || candidates_.size() == 1) {
    text_.replace(0, cursor_, common);
    cursor_ = common.size();
    return EditResult::kChanged;
  }
  return EditResult::kCandidates;
}

std::size_t LineEdit::WordLeft() const {
  std::size_t at = cursor_;
  while (at > 0 && !IsWordUnit(text_[at - 1])) --at;
  while (at > 0 && IsWordUnit(text_[at - 1])) --at;
  return at;
}

std::size_t LineEdit::WordRight() const {
  std::size_t at = cursor_;
  while (at < text_.size() && !IsWordUnit(text_[at])) ++at;
  while (at < text_.size() && IsWordUnit(text_[at])) ++at;
  return at;
}

EditView LineEdit::View() const {
  EditView view;
  if (!searching_) {
    view.cursor = AppendShown(view.text, text_, cursor_);
    return view;
  }
  view.search = true;
  view.text = searchFailed_ ? kFailedSearchPrompt : kSearchPrompt;
  AppendShown(view.text, query_, 0);
  view.text += u"': ";
  view.cursor = view.text.size() + AppendShown(view.text, text_, cursor_);
  return view;
}

// Cygwin and MSYS name their terminals' pipes \{cygwin,msys}-HEX-ptyN-{from,to}-master.
bool IsPtyPipeName(std::string_view name) {
  const bool family = name.rfind("\\msys-", 0) == 0 || name.rfind("\\cygwin-", 0) == 0;
  return family && name.find("-pty") != std::string_view::npos &&
         (name.find("-from-master") != std::string_view::npos ||
          name.find("-to-master") != std::string_view::npos);
}

const char* const kNotAConsoleAdvice =
    "standard input is a mintty terminal (Git Bash, Cygwin, MSYS2), not a Windows console, so "
    "the interactive mode cannot read its keys. Run quillaret-attach in Windows Terminal, cmd "
    "or PowerShell, or here as: winpty quillaret-attach ... Scripts (-c LINE, -f FILE, or "
    "lines on a pipe) work from any shell.\n";

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (IsSurrogateHigh(text[i]) && i + 1 < text.size() && IsSurrogateLow(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsSurrogateHigh(text[i]) || IsSurrogateLow(text[i])) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
      least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
      least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
      least = 0x10000;
    }
    bool whole = length > 0 && i + static_cast<std::size_t>(length) <= text.size();
    for (int k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      whole = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8 either.
    if (!whole || code < least || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      out += u'\xFFFD';
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += static_cast<std::size_t>(length);
  }
  return out;
}

}  // namespace qc::attach
