// What the clients (quillaret-attach, quillaret-web) read in what a console sends, for
// arbitrary bytes and for the console's own lines with arbitrary fields, against the rules
// written plainly here: splitting into lines, time stamps and kinds, presence notices, the
// rows of "[spawns]" and the objects they name, the echoes of sent lines, and the escaping of
// control and bidirectional characters before a line is shown.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/lookup.h"
#include "client/core/protocol.h"
#include "fuzz_support.h"
#include "text_model.h"

namespace {

namespace attach = qc::attach;
using qc::fuzz::ModelEscape;

// Lines longer than this are not given to std::regex, whose matcher recurses per character.
constexpr std::size_t kRegexLine = 512;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// A decimal the clients read: an optional minus sign and digits of magnitude at most
// 0xFFFFFFFF (beyond anything the console prints).
bool PlainNumber(const std::string& text, long long& value) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 0xFFFFFFFFLL) return false;
  }
  value = text[0] == '-' ? -magnitude : magnitude;
  return true;
}

attach::LineKind ModelKind(std::string_view body) {
  if (StartsWith(body, "QC_MSG: ")) return attach::LineKind::kMessage;
  if (StartsWith(body, "QC_OK:")) return attach::LineKind::kOk;
  if (StartsWith(body, "QC_ERROR:")) return attach::LineKind::kError;
  if (StartsWith(body, "QC_REPORT:")) return attach::LineKind::kReport;
  return attach::LineKind::kOther;
}

// One line read as the clients read it: the stamp, kind, presence notice, listing part and
// row, command, escaping and rendering, each against the plain rule.
void CheckLine(const std::string& raw) {
  const attach::ConsoleLine line = attach::ParseLine(raw);
  const bool stamped = raw.size() >= 9 && std::isdigit(static_cast<unsigned char>(raw[0])) &&
                       std::isdigit(static_cast<unsigned char>(raw[1])) && raw[2] == ':' &&
                       std::isdigit(static_cast<unsigned char>(raw[3])) &&
                       std::isdigit(static_cast<unsigned char>(raw[4])) && raw[5] == ':' &&
                       std::isdigit(static_cast<unsigned char>(raw[6])) &&
                       std::isdigit(static_cast<unsigned char>(raw[7])) && raw[8] == ' ';
  QC_FUZZ_CHECK(line.stamp == (stamped ? raw.substr(0, 8) : ""));
  QC_FUZZ_CHECK(line.body == (stamped ? raw.substr(9) : raw));
  QC_FUZZ_CHECK(line.kind == ModelKind(line.body));

  const std::string shown = attach::EscapeControlBytes(raw);
  QC_FUZZ_CHECK(shown == ModelEscape(raw));
  const bool own = !raw.empty() && (raw[0] & 1) != 0;
  const char* paint = own                                      ? "\x1b[1m"
                      : line.kind == attach::LineKind::kError  ? "\x1b[31m"
                      : line.kind == attach::LineKind::kReport ? "\x1b[1;33m"
                                                               : nullptr;
  const std::string prefix = own ? "> " : "";
  QC_FUZZ_CHECK(attach::RenderLine(raw, own, false) == prefix + shown);
  QC_FUZZ_CHECK(attach::RenderLine(raw, own, true) ==
                (paint != nullptr ? prefix + paint + shown + "\x1b[0m" : prefix + shown));

  const std::string_view body = line.body;
  const attach::ConsoleCommand command = attach::MatchConsoleCommand(body);
  QC_FUZZ_CHECK(command == (StartsWith(body, "[quit]")     ? attach::ConsoleCommand::kQuit
                            : StartsWith(body, "[who]")    ? attach::ConsoleCommand::kWho
                            : StartsWith(body, "[spawns]") ? attach::ConsoleCommand::kSpawns
                                                           : attach::ConsoleCommand::kNone));
  if (body.size() > kRegexLine) return;

  // Presence notices: "QC_OK: ADDRESS connected (Port P, GoID G)", ADDRESS without a space.
  static const std::regex presence(
      R"(QC_OK: ([^ ]*) (connected|disconnected) \(Port (-?[0-9]+), GoID: (-?[0-9]+)\))");
  std::smatch match;
  long long port = 0;
  long long goid = 0;
  const bool notice = std::regex_match(line.body, match, presence) &&
                      PlainNumber(match[3].str(), port) && PlainNumber(match[4].str(), goid);
  QC_FUZZ_CHECK(attach::IsPresenceNotice(line) == notice);
  attach::PresenceNotice parsed;
  QC_FUZZ_CHECK(attach::ParsePresenceNotice(line, parsed) == notice);
  if (notice) {
    QC_FUZZ_CHECK(parsed.address == match[1].str());
    QC_FUZZ_CHECK(parsed.connected == (match[2].str() == "connected"));
    QC_FUZZ_CHECK(parsed.printedPort == static_cast<int>(port));
    QC_FUZZ_CHECK(parsed.printedGoid == static_cast<int>(goid));
  }

  // Listings: the headers, the end, and rows "QC_OK: [N]\t..."; a "[spawns]" row carries
  // "Port: P, GoID: G, TemplateName: NAME" with P a port as printed (signed 16 bits or the
  // real one) and G a signed 32-bit GoID.
  static const std::regex row(R"(QC_OK: \[(-?[0-9]+)\]\t[\s\S]*)");
  static const std::regex spawnRow(
      R"(QC_OK: \[-?[0-9]+\]\tPort: (-?[0-9]+), GoID: (-?[0-9]+), TemplateName: ([\s\S]*))");
  long long number = 0;
  attach::ListingPart part = attach::ListingPart::kNone;
  if (line.kind == attach::LineKind::kOk) {
    if (body == "QC_OK: End of list") {
      part = attach::ListingPart::kEnd;
    } else if (body == "QC_OK: Currently spawned servers") {
      part = attach::ListingPart::kSpawnsHeader;
    } else if (StartsWith(body, "QC_OK: Currently connected clients (Port: ")) {
      part = attach::ListingPart::kWhoHeader;
    } else if (std::regex_match(line.body, match, row) && PlainNumber(match[1].str(), number)) {
      part = attach::ListingPart::kRow;
    }
  }
  QC_FUZZ_CHECK(attach::ClassifyListingLine(line) == part);
  attach::SpawnRow got;
  const bool isSpawnRow =
      part == attach::ListingPart::kRow && std::regex_match(line.body, match, spawnRow) &&
      PlainNumber(match[1].str(), port) && PlainNumber(match[2].str(), goid) && port >= -32768 &&
      port <= 65535 && goid >= -2147483648LL && goid <= 2147483647LL;
  QC_FUZZ_CHECK(attach::ParseSpawnRow(line, got) == isSpawnRow);
  if (isSpawnRow) {
    QC_FUZZ_CHECK(got.port == static_cast<std::uint16_t>(port & 0xFFFF));
    QC_FUZZ_CHECK(got.printedGoid == static_cast<int>(goid));
    QC_FUZZ_CHECK(got.templateName == match[3].str());
  }
}

// The objects a name picks among rows: ":PORT" the rows of that port; a number the rows whose
// GoID it is (signed or unsigned), or else, as any other name, the rows of that template name.
std::vector<attach::SpawnRow> ModelMatch(const std::vector<attach::SpawnRow>& rows,
                                         const std::string& object) {
  std::vector<attach::SpawnRow> found;
  static const std::regex portForm(R"(:([0-9]+))");
  static const std::regex numberForm(R"(-?[0-9]+)");
  long long value = 0;
  if (object.size() <= kRegexLine && std::regex_match(object, portForm) &&
      PlainNumber(object.substr(1), value) && value >= 1 && value <= 65535) {
    QC_FUZZ_CHECK(attach::PortOfObject(object) == value);
    for (const attach::SpawnRow& r : rows) {
      if (r.port == value) found.push_back(r);
    }
    return found;
  }
  QC_FUZZ_CHECK(attach::PortOfObject(object) == 0);
  if (object.size() <= kRegexLine && std::regex_match(object, numberForm) &&
      PlainNumber(object, value)) {
    for (const attach::SpawnRow& r : rows) {
      if (static_cast<std::uint32_t>(r.printedGoid) == static_cast<std::uint32_t>(value)) {
        found.push_back(r);
      }
    }
    if (!found.empty()) return found;
  }
  for (const attach::SpawnRow& r : rows) {
    if (r.templateName == object) found.push_back(r);
  }
  return found;
}

bool SameRows(const std::vector<attach::SpawnRow>& a, const std::vector<attach::SpawnRow>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].port != b[i].port || a[i].printedGoid != b[i].printedGoid ||
        a[i].templateName != b[i].templateName) {
      return false;
    }
  }
  return true;
}

// A line without a line end (the console's lines never hold one).
std::string LineBytes(qc::fuzz::Input& in, std::size_t most) {
  std::string text = in.Bytes(in.Byte() % most);
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::Input in(data, size);
  attach::LineSplitter splitter;
  std::string pending;  // the splitter's model: bytes not yet handed out as a line
  std::deque<std::string> awaiting;
  std::deque<std::string> modelAwaiting;
  std::vector<attach::SpawnRow> rows;
  bool afterOwnEcho = false;
  for (int step = 0; step < 64 && !in.Empty(); ++step) {
    const std::uint8_t op = in.Byte();
    switch (op % 6) {
      case 0: {  // received bytes, split into lines (LF, and a CR before it, taken off)
        const std::string bytes = in.Bytes(in.Byte());
        splitter.Add(bytes.data(), bytes.size());
        pending += bytes;
        std::string line;
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::string want = pending.substr(0, end);
          if (!want.empty() && want.back() == '\r') want.pop_back();
          pending.erase(0, end + 1);
          QC_FUZZ_CHECK(splitter.TakeLine(line));
          QC_FUZZ_CHECK(line == want);
          CheckLine(line);
        }
        QC_FUZZ_CHECK(!splitter.TakeLine(line));
        QC_FUZZ_CHECK(splitter.HasPartial() == !pending.empty());
        if (op & 0x80) {  // a host's text without a line end, handed out whole
          const bool had = !pending.empty();
          QC_FUZZ_CHECK(splitter.TakePartial(line) == had);
          if (had && pending.back() == '\r') pending.pop_back();
          if (had) QC_FUZZ_CHECK(line == pending);
          pending.clear();
          QC_FUZZ_CHECK(!splitter.HasPartial());
        }
        break;
      }
      case 1: {  // a presence notice as the console writes it, with any address
        const std::string address = LineBytes(in, 24);
        const auto port = static_cast<std::int16_t>(in.Word());
        const auto goid = static_cast<std::int32_t>(in.Uint32());
        const bool connected = (op & 0x80) != 0;
        const std::string body = "QC_OK: " + address +
                                 (connected ? " connected" : " disconnected") + " (Port " +
                                 std::to_string(port) + ", GoID: " + std::to_string(goid) + ")";
        const attach::ConsoleLine line = attach::ParseLine("12:34:56 " + body);
        CheckLine("12:34:56 " + body);
        attach::PresenceNotice notice;
        if (address.find(' ') == std::string::npos) {
          QC_FUZZ_CHECK(attach::ParsePresenceNotice(line, notice));
          QC_FUZZ_CHECK(notice.address == address && notice.connected == connected &&
                        notice.printedPort == port && notice.printedGoid == goid);
        }
        QC_FUZZ_CHECK(attach::IsConnectedNoticeOf(line, address, port, goid) == connected);
        QC_FUZZ_CHECK(!attach::IsConnectedNoticeOf(line, address + "x", port, goid));
        break;
      }
      case 2:  // any line
        CheckLine(LineBytes(in, 255));
        break;
      case 3: {  // a line sent; its echo (or another line) coming back
        const std::string sent = LineBytes(in, 16);
        if (op & 0x80) {
          awaiting.push_back(sent);
          modelAwaiting.push_back(sent);
        }
        const std::uint8_t form = in.Byte();
        std::string raw;
        switch (form % 4) {
          case 0:
            raw = "01:02:03 QC_MSG: " + sent;
            break;
          case 1:
            raw = sent;
            break;  // a pasted text's later line: no stamp, no tag
          case 2:
            raw = "QC_MSG: " + sent;
            break;
          default:
            raw = LineBytes(in, 24);
            break;
        }
        const attach::ConsoleLine line = attach::ParseLine(raw);
        QC_FUZZ_CHECK(attach::IsEchoOf(line, sent) ==
                      (line.kind == attach::LineKind::kMessage && line.body.substr(8) == sent));
        // The model: the first awaited line this one echoes is taken.
        const bool continued =
            afterOwnEcho && line.stamp.empty() && line.kind == attach::LineKind::kOther;
        bool modelTook = false;
        for (auto it = modelAwaiting.begin(); it != modelAwaiting.end(); ++it) {
          if (continued ? line.body == *it
                        : line.kind == attach::LineKind::kMessage && line.body.substr(8) == *it) {
            modelAwaiting.erase(it);
            modelTook = true;
            break;
          }
        }
        const bool took = attach::TakeOwnEcho(awaiting, line, afterOwnEcho);
        QC_FUZZ_CHECK(took == modelTook);
        QC_FUZZ_CHECK(awaiting == modelAwaiting);
        afterOwnEcho = took;
        break;
      }
      case 4: {  // a "[spawns]" row as the console prints it, with any template name
        attach::SpawnRow want;
        want.port = in.Word();
        want.printedGoid = static_cast<int>(in.Uint32());
        want.templateName = LineBytes(in, 24);
        // Ports above 32767 are printed negative by the console; both forms are read.
        const int printed = (op & 0x80) ? static_cast<std::int16_t>(want.port) : want.port;
        const std::string raw = "09:08:07 QC_OK: [" + std::to_string(rows.size() + 1) +
                                "]\tPort: " + std::to_string(printed) +
                                ", GoID: " + std::to_string(want.printedGoid) +
                                ", TemplateName: " + want.templateName;
        CheckLine(raw);
        attach::SpawnRow got;
        QC_FUZZ_CHECK(attach::ParseSpawnRow(attach::ParseLine(raw), got));
        QC_FUZZ_CHECK(SameRows({got}, {want}));
        if (rows.size() < 16) rows.push_back(want);
        break;
      }
      default: {  // an object named among the rows: by a row's name, GoID or port, or anything
        std::string object;
        const std::uint8_t how = in.Byte();
        const attach::SpawnRow* pick = rows.empty() ? nullptr : &rows[how % rows.size()];
        switch (pick == nullptr ? 3 : op % 4) {
          case 0:
            object = pick->templateName;
            break;
          case 1:
            object = (how & 1) ? std::to_string(static_cast<std::uint32_t>(pick->printedGoid))
                               : std::to_string(pick->printedGoid);
            break;
          case 2:
            object = ":" + std::to_string(pick->port);
            break;
          default:
            object = LineBytes(in, 16);
            break;
        }
        QC_FUZZ_CHECK(SameRows(attach::MatchObject(rows, object), ModelMatch(rows, object)));
        const std::string table = attach::FormatConsoleTable(rows);
        std::size_t lines = 0;
        for (const char c : table) lines += c == '\n';
        QC_FUZZ_CHECK(lines == rows.size() + 1);
        // Nothing in the table steers a terminal: without its line ends it is all shown text.
        std::string text = table;
        text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
        QC_FUZZ_CHECK(ModelEscape(text) == text);
        break;
      }
    }
  }
  return 0;
}
