// The files the clients read back (the history of typed lines, the remembered "[spawns]"
// listing, the words Tab completes from), with arbitrary contents, against the rules written
// plainly here: what is read, when a file is rewritten and with what, and that what is written
// afterwards (a typed line, a listing, a learned word) reads back as it was written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "client/core/history.h"
#include "client/core/lookup.h"
#include "client/core/options.h"
#include "client/core/word_store.h"
#include "fuzz_support.h"

namespace {

namespace attach = qc::attach;

// A file's contents: chunks of bytes, each repeated, so that a small input makes the thousands
// of lines past which the files are rewritten.
constexpr std::size_t kMostFileBytes = 96 * 1024;

std::string FileBytes(qc::fuzz::Input& in) {
  std::string text;
  const std::size_t chunks = in.Byte() % 8;
  for (std::size_t c = 0; c < chunks && text.size() < kMostFileBytes; ++c) {
    const std::size_t repeats = std::size_t{in.Byte()} * (in.Byte() % 16) + 1;
    const std::string chunk = in.Bytes(in.Byte());
    for (std::size_t r = 0; r < repeats && text.size() < kMostFileBytes; ++r) text += chunk;
  }
  return text;
}

std::string Folder() {
  static const std::string folder = [] {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("qc-client-files-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return folder;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  QC_FUZZ_CHECK(file.good());
}

std::string Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The file's complete lines (a last one without its line end was cut short and does not
// count), each without its line end; stripCr takes a CR before the LF off too.
std::vector<std::string> CompleteLines(const std::string& text, bool stripCr) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : text) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (stripCr && !line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    line.clear();
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// The history: its non-empty lines (a CR before the LF taken off), the newest kHistoryLines of
// them; a file of more than twice that many is rewritten with those alone.
std::vector<std::string> ModelHistory(const std::string& text, bool& overgrown) {
  std::vector<std::string> lines;
  for (const std::string& line : CompleteLines(text, true)) {
    if (!line.empty()) lines.push_back(line);
  }
  const std::size_t keep = static_cast<std::size_t>(attach::kHistoryLines);
  overgrown = lines.size() > 2 * keep;
  if (lines.size() > keep)
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(keep));
  return lines;
}

void CheckHistory(qc::fuzz::Input& in, const std::string& path) {
  const std::string text = FileBytes(in);
  Write(path, text);
  bool overgrown = false;
  std::vector<std::string> want = ModelHistory(text, overgrown);
  std::vector<std::string> lines = attach::ReadHistory(path);
  QC_FUZZ_CHECK(lines == want);
  const std::string after = Read(path);
  QC_FUZZ_CHECK(after == (overgrown ? Joined(want) : text));

  // A line typed now is kept unless it is empty, holds a line end or repeats the newest. It is
  // appended whole: a last line cut short is ended first and never runs into it. Read again,
  // the file gives the newest line.
  const std::string typed = in.Bytes(in.Byte() % 32);
  const bool kept = !typed.empty() && typed.find_first_of("\r\n") == std::string::npos &&
                    (want.empty() || want.back() != typed);
  QC_FUZZ_CHECK(attach::KeepTypedLine(lines, path, typed) == kept);
  if (kept) {
    if (want.size() >= static_cast<std::size_t>(attach::kHistoryLines)) want.erase(want.begin());
    want.push_back(typed);
  }
  QC_FUZZ_CHECK(lines == want);
  const std::string appended =
      kept ? after + (after.empty() || after.back() == '\n' ? "" : "\n") + typed + "\n" : after;
  QC_FUZZ_CHECK(Read(path) == appended);
  const std::vector<std::string> again = attach::ReadHistory(path);
  QC_FUZZ_CHECK(again == ModelHistory(appended, overgrown));
  if (kept) QC_FUZZ_CHECK(again.back() == typed);
}

// The remembered listing: rows "PORT<TAB>GOID<TAB>TEMPLATE", a port from 1 to 65535 and a
// signed 32-bit GoID; other lines are left out. Remembered again, the rows read back the same
// (all but the names with a CR, which a line cannot keep as it is).
void CheckListing(qc::fuzz::Input& in, const std::string& path) {
  const std::string text = FileBytes(in);
  Write(path, text);
  static const std::regex row(R"((-?[0-9]+)\t(-?[0-9]+)\t([\s\S]*))");
  // A number as the reader takes it: its magnitude at most 0xFFFFFFFF.
  auto number = [](const std::string& digits, long long& value) {
    long long magnitude = 0;
    for (std::size_t i = digits[0] == '-' ? 1 : 0; i < digits.size(); ++i) {
      magnitude = magnitude * 10 + (digits[i] - '0');
      if (magnitude > 0xFFFFFFFFLL) return false;
    }
    value = digits[0] == '-' ? -magnitude : magnitude;
    return true;
  };
  std::vector<attach::SpawnRow> want;
  for (const std::string& line : CompleteLines(text, false)) {
    std::smatch match;
    // Lines longer than a row can be are left to the reader alone (std::regex recurses).
    if (line.size() > 512 || !std::regex_match(line, match, row)) continue;
    long long port = 0;
    long long goid = 0;
    if (!number(match[1].str(), port) || !number(match[2].str(), goid)) continue;
    if (port < 1 || port > 65535 || goid < -2147483648LL || goid > 2147483647LL) continue;
    attach::SpawnRow r;
    r.port = static_cast<std::uint16_t>(port);
    r.printedGoid = static_cast<int>(goid);
    r.templateName = match[3].str();
    want.push_back(r);
  }
  auto same = [](const std::vector<attach::SpawnRow>& a, const std::vector<attach::SpawnRow>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
             return x.port == y.port && x.printedGoid == y.printedGoid &&
                    x.templateName == y.templateName;
           });
  };
  const std::vector<attach::SpawnRow> rows = attach::ReadRememberedListing(path);
  bool longLine = false;
  for (const std::string& line : CompleteLines(text, false)) longLine |= line.size() > 512;
  if (!longLine) QC_FUZZ_CHECK(same(rows, want));

  QC_FUZZ_CHECK(attach::RememberListing(path, rows));
  std::vector<attach::SpawnRow> kept;
  for (const attach::SpawnRow& r : rows) {
    if (r.templateName.find('\r') == std::string::npos) kept.push_back(r);
  }
  QC_FUZZ_CHECK(same(attach::ReadRememberedListing(path), kept));
}

// The words: every line (a CR before the LF taken off) that is a name of three characters or
// more (a letter or '_', then letters, digits and '_'), with "(" after it when it was a call;
// the newest line of a name places it, most recent first, kWordStoreWords at most; a name ever
// stored as a call is one. A file of more than twice kWordStoreWords lines is rewritten with
// the words, oldest first.
void CheckWords(qc::fuzz::Input& in, const std::string& path) {
  const std::string text = FileBytes(in);
  Write(path, text);
  const std::vector<std::string> lines = CompleteLines(text, true);
  auto isName = [](std::string_view name) {
    auto letter = [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    return name.size() >= 3 && letter(name[0]) &&
           std::all_of(name.begin(), name.end(),
                       [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
  };
  std::vector<std::string> want;
  std::unordered_map<std::string, std::size_t> placed;
  std::unordered_map<std::string, bool> call;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const bool isCall = !line->empty() && line->back() == '(';
    const std::string name = isCall ? line->substr(0, line->size() - 1) : *line;
    if (!isName(name)) continue;
    if (placed.count(name) == 0) {
      if (want.size() >= attach::kWordStoreWords) continue;
      placed[name] = want.size();
      want.push_back(name);
    }
    call[name] = call[name] || isCall;
  }
  for (std::string& word : want) {
    if (call[word]) word += "(";
  }
  attach::WordStore store;
  attach::LoadWords(store, path);
  QC_FUZZ_CHECK(store.words == want);
  const std::string after = Read(path);
  if (lines.size() > 2 * attach::kWordStoreWords) {
    QC_FUZZ_CHECK(after == Joined(std::vector<std::string>(want.rbegin(), want.rend())));
  } else {
    QC_FUZZ_CHECK(after == text);
  }

  // Completion: the words longer than the prefix that begin with it, most recent first.
  const std::string prefix = in.Bytes(in.Byte() % 4);
  std::vector<std::string> found;
  std::vector<std::string> completions;
  for (const std::string& word : want) {
    if (word.size() > prefix.size() && word.compare(0, prefix.size(), prefix) == 0) {
      completions.push_back(word);
    }
  }
  QC_FUZZ_CHECK(attach::CompleteWord(store, prefix, found) == completions.size());
  QC_FUZZ_CHECK(found == completions);

  // A call learned now is the newest word in the store; one new to it is also the newest in
  // the file read again (a word the store knows is written again only when it renews it).
  const std::string word = "Zq_" + std::to_string(in.Word());
  const bool known = placed.count(word) > 0;
  attach::LearnWords(store, "x." + word + "(1)");
  QC_FUZZ_CHECK(!store.words.empty() && store.words[0] == word + "(");
  attach::WordStore again;
  attach::LoadWords(again, path);
  if (!known) QC_FUZZ_CHECK(!again.words.empty() && again.words[0] == word + "(");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::Input in(data, size);
  const std::string folder = Folder();
  switch (in.Byte() % 3) {
    case 0:
      CheckHistory(in, folder + "/history");
      break;
    case 1:
      CheckListing(in, folder + "/listing");
      break;
    default:
      CheckWords(in, folder + "/words");
      break;
  }
  return 0;
}
