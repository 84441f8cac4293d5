// Identifiers learned from what a console says and what is typed to it, for Tab.
#include "client/core/word_store.h"

#include <algorithm>
#include <unordered_map>

#include "client/core/history.h"
#include "client/core/platform.h"

namespace qc::attach {
namespace {

constexpr std::size_t kShortestWord = 3;

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNamePart(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

bool IsCall(std::string_view word) { return !word.empty() && word.back() == '('; }
std::string_view NameOf(std::string_view word) {
  return IsCall(word) ? word.substr(0, word.size() - 1) : word;
}

// '_' or a digit after the first character, or a capital after a small letter (GetHealth,
// max_hp, hp2); a word in capitals alone ("NOT", "KEY") is prose as often as code.
bool LooksLikeCode(std::string_view name) {
  for (std::size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '_' || (c >= '0' && c <= '9')) return true;
    if (c >= 'A' && c <= 'Z' && name[i - 1] >= 'a' && name[i - 1] <= 'z') return true;
  }
  return false;
}

// Whether a line of the file is a word: a name, and "(" when it was a call.
bool IsStoredWord(std::string_view word) {
  const std::string_view name = NameOf(word);
  if (name.size() < kShortestWord || !IsNameStart(name[0])) return false;
  return std::all_of(name.begin(), name.end(), IsNamePart);
}

// Puts word first; a name seen as a call stays one. Whether the file should hear of it: the
// word is new, renewed (it had fallen out of the newest kWordRenewal) or now a call.
bool Promote(WordStore& store, const std::string& word, bool& isNew) {
  const std::string_view name = NameOf(word);
  auto found = std::find_if(store.words.begin(), store.words.end(),
                            [&](const std::string& known) { return NameOf(known) == name; });
  isNew = found == store.words.end();
  std::string kept = word;
  bool tell = isNew;
  if (!isNew) {
    const auto position = static_cast<std::size_t>(found - store.words.begin());
    const bool wasCall = IsCall(*found);
    if (wasCall) kept = std::string(name) + "(";
    tell = position >= kWordRenewal || (IsCall(word) && !wasCall);
    store.words.erase(found);
  }
  store.words.insert(store.words.begin(), kept);
  if (store.words.size() > kWordStoreWords) store.words.resize(kWordStoreWords);
  return tell;
}

}  // namespace

std::string WordsPath(const std::string& stateFolder, const std::string& key) {
  if (stateFolder.empty()) return "";
  return stateFolder + "/quillaret/words/" + FileNameFor(key);
}

void LoadWords(WordStore& store, const std::string& path) {
  store = WordStore{};
  store.path = path;
  std::string text;
  if (path.empty() || !ReadWholeFile(path, text)) return;
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // cut short by a write that failed
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.push_back(std::string_view(text).substr(start, stop - start));
    start = end + 1;
  }
  store.fileLines = lines.size();
  // The newest line of each word decides its place; any line of it as a call makes it one.
  std::unordered_map<std::string_view, std::size_t> placed;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (!IsStoredWord(*line)) continue;
    const std::string_view name = NameOf(*line);
    const auto known = placed.find(name);
    if (known == placed.end()) {
      if (store.words.size() >= kWordStoreWords) continue;
      placed.emplace(name, store.words.size());
      store.words.emplace_back(*line);
    } else if (IsCall(*line)) {
      store.words[known->second] = std::string(name) + "(";
    }
  }
  if (store.fileLines > 2 * kWordStoreWords) (void)SaveWords(store);
}

bool SaveWords(WordStore& store) {
  if (store.path.empty()) return false;
  std::string text;
  for (auto word = store.words.rbegin(); word != store.words.rend(); ++word) text += *word + "\n";
  const std::size_t slash = store.path.find_last_of("/\\");
  if (slash != std::string::npos && !MakeFolders(store.path.substr(0, slash))) return false;
  // A word appended by another session between its read and this rename is lost: it comes
  // back the next time it is seen.
  if (!ReplaceWholeFile(store.path, text)) return false;
  store.fileLines = store.words.size();
  return true;
}

std::size_t LearnWords(WordStore& store, std::string_view line) {
  std::size_t learned = 0;
  std::string append;
  for (std::size_t i = 0; i < line.size();) {
    if (!IsNameStart(line[i]) || (i > 0 && IsNamePart(line[i - 1]))) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < line.size() && IsNamePart(line[end])) ++end;
    const std::string_view name = line.substr(i, end - i);
    const bool call = end < line.size() && line[end] == '(';
    const bool member = i > 0 && line[i - 1] == '.';
    const bool tag = name.substr(0, 3) == "QC_";
    if (name.size() >= kShortestWord && !tag && (call || member || LooksLikeCode(name))) {
      const std::string word = std::string(name) + (call ? "(" : "");
      bool isNew = false;
      if (Promote(store, word, isNew)) append += store.words.front() + "\n";
      if (isNew) ++learned;
    }
    i = end;
  }
  if (!append.empty() && !store.path.empty()) {
    const std::size_t slash = store.path.find_last_of("/\\");
    if (slash == std::string::npos || MakeFolders(store.path.substr(0, slash))) {
      if (AppendLines(store.path, append)) {
        store.fileLines += static_cast<std::size_t>(std::count(append.begin(), append.end(), '\n'));
      }
    }
    if (store.fileLines > 2 * kWordStoreWords) (void)SaveWords(store);
  }
  return learned;
}

std::size_t CompleteWord(const WordStore& store, std::string_view prefix,
                         std::vector<std::string>& out) {
  std::size_t found = 0;
  for (const std::string& word : store.words) {
    if (word.size() > prefix.size() && word.compare(0, prefix.size(), prefix) == 0) {
      out.push_back(word);
      ++found;
    }
  }
  return found;
}

bool FindWordToComplete(std::string_view lineSoFar, std::size_t& start) {
  std::size_t begin = lineSoFar.size();
  while (begin > 0 && IsNamePart(lineSoFar[begin - 1])) --begin;
  const std::string_view fragment = lineSoFar.substr(begin);
  if (!fragment.empty() && !IsNameStart(fragment[0])) return false;  // a number
  const char before = begin > 0 ? lineSoFar[begin - 1] : ' ';
  // "[this].", "[that](3)." or any member; a fragment after '[' is one of the console's own
  // commands ("[who]"), and an empty one completes only after a '.'.
  if (before == '[' || (fragment.empty() && before != '.')) return false;
  start = begin;
  return true;
}

}  // namespace qc::attach
