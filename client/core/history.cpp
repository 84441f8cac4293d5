// Typed lines kept per template name, appended one write a line, and read again at start.
#include "client/core/history.h"

#include <cstdio>
#include <fstream>

#include "client/core/options.h"
#include "client/core/platform.h"

namespace qc::attach {

std::string FileNameFor(const std::string& key) {
  std::string name;
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' ||
        (byte == '.' && !name.empty())) {
      name += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      name += escape;
    }
  }
  return name;
}

std::string HistoryPath(const std::string& stateFolder, const std::string& key) {
  if (stateFolder.empty()) return "";
  return stateFolder + "/quillaret/history/" + FileNameFor(key);
}

std::string HistoryKeyOf(const SpawnRow& own, bool ownKnown, std::uint16_t port) {
  return ownKnown ? own.templateName : ":" + std::to_string(port);
}

std::vector<std::string> ReadHistory(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (path.empty() || !ReadWholeFile(path, text)) return lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    // A last line without its line end was cut short by a write that failed: left out.
    if (end == std::string::npos) break;
    std::size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;  // written by hand on Windows
    if (stop > start) lines.push_back(text.substr(start, stop - start));
    start = end + 1;
  }
  const std::size_t keep = static_cast<std::size_t>(kHistoryLines);
  if (lines.size() > keep) {
    const bool overgrown = lines.size() > 2 * keep;
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(keep));
    if (overgrown) {
      // A line appended by another session between the read and the rename is lost; a
      // rewrite comes once every kHistoryLines lines at most.
      std::string kept;
      for (const std::string& line : lines) kept += line + "\n";
      (void)ReplaceWholeFile(path, kept);
    }
  }
  return lines;
}

bool AppendHistory(const std::string& path, const std::string& line) {
  if (path.empty() || line.empty() || line.find_first_of("\r\n") != std::string::npos) {
    return false;
  }
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) return false;
  return AppendLines(path, line + "\n");
}

bool AppendLines(const std::string& path, const std::string& lines) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  char last = '\n';
  if (file && file.tellg() > 0) {
    file.seekg(-1, std::ios::end);
    if (!file.get(last)) last = '\n';
  }
  return AppendToFile(path, last == '\n' ? lines : "\n" + lines);
}

bool KeepTypedLine(std::vector<std::string>& lines, const std::string& path,
                   const std::string& line) {
  if (line.empty() || line.find_first_of("\r\n") != std::string::npos ||
      (!lines.empty() && lines.back() == line)) {
    return false;
  }
  if (lines.size() >= static_cast<std::size_t>(kHistoryLines)) lines.erase(lines.begin());
  lines.push_back(line);
  (void)AppendHistory(path, line);
  return true;
}

}  // namespace qc::attach
