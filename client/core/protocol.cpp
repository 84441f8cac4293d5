// Reading the console's lines: every rule here follows the bytes the console sends.
#include "client/core/protocol.h"

#include <algorithm>
#include <cstdio>

#include "client/core/parsing.h"

namespace qc::attach {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsStamp(std::string_view text) {
  return text.size() >= 9 && IsDigit(text[0]) && IsDigit(text[1]) && text[2] == ':' &&
         IsDigit(text[3]) && IsDigit(text[4]) && text[5] == ':' && IsDigit(text[6]) &&
         IsDigit(text[7]) && text[8] == ' ';
}

// The controls that reorder what follows them on the screen: a line could show one text and
// hold another ("Describe()" drawn over a call of something else). U+061C, U+200E and U+200F
// are marks rather than embeddings, but steer the order of neutral characters as well.
bool IsBidiControl(unsigned codePoint) {
  return codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
         (codePoint >= 0x202A && codePoint <= 0x202E) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

// The length of the UTF-8 sequence at text[i] that is safe to show as it is, or 0.
std::size_t SafeSequenceLength(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  unsigned codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (next & 0x3Fu);
  }
  const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < smallest[length] || codePoint > 0x10FFFF) return 0;  // overlong or too large
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;            // surrogates
  if (codePoint <= 0x9F) return 0;                                     // C1 controls
  if (IsBidiControl(codePoint)) return 0;
  return length;
}

constexpr const char* kRed = "\x1b[31m";
constexpr const char* kHighlight = "\x1b[1;33m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";

}  // namespace

ConsoleLine ParseLine(std::string_view raw) {
  ConsoleLine line;
  if (IsStamp(raw)) {
    line.stamp = std::string(raw.substr(0, 8));
    raw.remove_prefix(9);
  }
  line.body = std::string(raw);
  if (StartsWith(raw, kMessageTag)) {
    line.kind = LineKind::kMessage;
  } else if (StartsWith(raw, "QC_OK:")) {
    line.kind = LineKind::kOk;
  } else if (StartsWith(raw, "QC_ERROR:")) {
    line.kind = LineKind::kError;
  } else if (StartsWith(raw, "QC_REPORT:")) {
    line.kind = LineKind::kReport;
  }
  return line;
}

bool LineSplitter::TakeLine(std::string& line) {
  const std::size_t end = pending_.find('\n');
  if (end == std::string::npos) return false;
  std::size_t length = end;
  if (length > 0 && pending_[length - 1] == '\r') --length;
  line.assign(pending_, 0, length);
  pending_.erase(0, end + 1);
  return true;
}

bool LineSplitter::TakePartial(std::string& partial) {
  if (pending_.empty()) return false;
  partial.swap(pending_);
  pending_.clear();
  if (!partial.empty() && partial.back() == '\r') partial.pop_back();
  return true;
}

bool IsEchoOf(const ConsoleLine& line, std::string_view sent) {
  if (line.kind != LineKind::kMessage) return false;
  return std::string_view(line.body).substr(kMessageTag.size()) == sent;
}

bool TakeOwnEcho(std::deque<std::string>& awaiting, const ConsoleLine& line, bool afterOwnEcho) {
  const bool continued = afterOwnEcho && line.stamp.empty() && line.kind == LineKind::kOther;
  for (auto it = awaiting.begin(); it != awaiting.end(); ++it) {
    if (continued ? line.body == *it : IsEchoOf(line, *it)) {
      awaiting.erase(it);
      return true;
    }
  }
  return false;
}

bool IsPresenceNotice(const ConsoleLine& line) {
  if (line.kind != LineKind::kOk || !StartsWith(line.body, "QC_OK: ")) return false;
  const std::string_view body = line.body;
  const std::size_t space = body.find(' ', 7);
  if (space == std::string_view::npos) return false;
  std::size_t pos = space;
  if (!Expect(body, pos, " connected (Port ") && !Expect(body, pos, " disconnected (Port ")) {
    return false;
  }
  long long number = 0;
  if (!ReadNumber(body, pos, number) || !Expect(body, pos, ", GoID: ") ||
      !ReadNumber(body, pos, number) || !Expect(body, pos, ")")) {
    return false;
  }
  return pos == body.size();
}

bool IsConnectedNoticeOf(const ConsoleLine& line, std::string_view address, int printedPort,
                         int printedGoid) {
  const std::string expected = "QC_OK: " + std::string(address) + " connected (Port " +
                               std::to_string(printedPort) +
                               ", GoID: " + std::to_string(printedGoid) + ")";
  return line.body == expected;
}

ListingPart ClassifyListingLine(const ConsoleLine& line) {
  if (line.kind != LineKind::kOk) return ListingPart::kNone;
  const std::string_view body = line.body;
  if (body == "QC_OK: End of list") return ListingPart::kEnd;
  if (body == "QC_OK: Currently spawned servers") return ListingPart::kSpawnsHeader;
  if (StartsWith(body, "QC_OK: Currently connected clients (Port: "))
    return ListingPart::kWhoHeader;
  std::size_t pos = 0;
  long long row = 0;
  if (Expect(body, pos, "QC_OK: [") && ReadNumber(body, pos, row) && Expect(body, pos, "]\t")) {
    return ListingPart::kRow;
  }
  return ListingPart::kNone;
}

ConsoleCommand MatchConsoleCommand(std::string_view line) {
  if (StartsWith(line, "[quit]")) return ConsoleCommand::kQuit;
  if (StartsWith(line, "[who]")) return ConsoleCommand::kWho;
  if (StartsWith(line, "[spawns]")) return ConsoleCommand::kSpawns;
  return ConsoleCommand::kNone;
}

bool ParseSpawnRow(const ConsoleLine& line, SpawnRow& row) {
  if (ClassifyListingLine(line) != ListingPart::kRow) return false;
  const std::string_view body = line.body;
  std::size_t pos = body.find("]\t") + 2;
  long long port = 0;
  long long goid = 0;
  if (!Expect(body, pos, "Port: ") || !ReadNumber(body, pos, port) ||
      !Expect(body, pos, ", GoID: ") || !ReadNumber(body, pos, goid) ||
      !Expect(body, pos, ", TemplateName: ")) {
    return false;
  }
  if (port < -32768 || port > 65535 || goid < -2147483648LL || goid > 2147483647LL) return false;
  row.port = static_cast<std::uint16_t>(port & 0xFFFF);
  row.printedGoid = static_cast<int>(goid);
  row.templateName = std::string(body.substr(pos));
  return true;
}

std::uint16_t PortOfObject(std::string_view object) {
  if (object.size() < 2 || object[0] != ':') return 0;
  std::size_t pos = 1;
  long long port = 0;
  if (!ReadNumber(object, pos, port) || pos != object.size() || port < 1 || port > 65535) return 0;
  return static_cast<std::uint16_t>(port);
}

std::vector<SpawnRow> MatchObject(const std::vector<SpawnRow>& rows, std::string_view object) {
  std::vector<SpawnRow> found;
  if (const std::uint16_t port = PortOfObject(object)) {
    for (const SpawnRow& row : rows) {
      if (row.port == port) found.push_back(row);
    }
    return found;
  }
  std::size_t pos = 0;
  long long number = 0;
  if (ReadNumber(object, pos, number) && pos == object.size()) {
    // GoIDs are printed as signed numbers; 4294967295 and -1 name the same object.
    const int printed = static_cast<int>(static_cast<std::uint32_t>(number & 0xFFFFFFFFLL));
    for (const SpawnRow& row : rows) {
      if (row.printedGoid == printed) found.push_back(row);
    }
    if (!found.empty()) return found;
  }
  for (const SpawnRow& row : rows) {
    if (row.templateName == object) found.push_back(row);
  }
  return found;
}

std::string FormatConsoleTable(const std::vector<SpawnRow>& rows) {
  std::size_t goidWidth = 4;
  std::size_t nameWidth = 8;
  for (const SpawnRow& row : rows) {
    goidWidth = std::max(goidWidth, std::to_string(row.printedGoid).size());
    nameWidth = std::max(nameWidth, EscapeControlBytes(row.templateName).size());
  }
  auto pad = [](std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
  };
  std::string table = pad("GOID", goidWidth) + "  " + pad("TEMPLATE", nameWidth) + "  PORT\n";
  for (const SpawnRow& row : rows) {
    table += pad(std::to_string(row.printedGoid), goidWidth) + "  " +
             pad(EscapeControlBytes(row.templateName), nameWidth) + "  " +
             std::to_string(row.port) + "\n";
  }
  return table;
}

std::string EscapeControlBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t') {
      out += text[i++];
      continue;
    }
    if (byte >= 0x80) {
      if (const std::size_t length = SafeSequenceLength(text, i)) {
        out.append(text.substr(i, length));
        i += length;
        continue;
      }
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", byte);
    out += escape;
    ++i;
  }
  return out;
}

std::string RenderLine(std::string_view raw, bool ownEcho, bool colour) {
  const std::string shown = EscapeControlBytes(raw);
  const char* paint = nullptr;
  if (ownEcho) {
    paint = kBold;
  } else {
    const ConsoleLine line = ParseLine(raw);
    if (line.kind == LineKind::kError) paint = kRed;
    if (line.kind == LineKind::kReport) paint = kHighlight;
  }
  std::string out = ownEcho ? "> " : "";
  if (colour && paint != nullptr) return out + paint + shown + kReset;
  return out + shown;
}

}  // namespace qc::attach
