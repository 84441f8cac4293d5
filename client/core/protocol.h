// What quillaret-attach reads in the console's lines: time stamps, notices, echoes, listings,
// and the rows of "[spawns]" it finds a console by. Plain functions, no sockets, no terminal.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace qc::attach {

// The console's own lines, as it sends them (after the time stamp and one space).
constexpr std::string_view kWelcome =
    "QC_OK: Welcome to the Team Quillaret development console, v0.1";
constexpr std::string_view kPasswordRequired = "QC_OK: Password required";
constexpr std::string_view kPasswordAccepted = "QC_OK: Password accepted";
constexpr std::string_view kWrongPassword = "QC_ERROR: Wrong password";
constexpr std::string_view kFarewell =
    "QC_OK: Disconnecting from Team Quillaret development console";
constexpr std::string_view kMessageTag = "QC_MSG: ";

enum class LineKind {
  kMessage,  // "QC_MSG: ": an echo of a developer's line, or an ordinary answer of the host
  kOk,       // "QC_OK:"
  kError,    // "QC_ERROR:"
  kReport,   // "QC_REPORT:"
  kOther,    // anything else (a host's text that ran on from a line without a line end)
};

// One line as received, without its line end (LF, and a CR before it).
struct ConsoleLine {
  std::string stamp;  // "HH:MM:SS", or empty when the line has none
  std::string body;   // everything after the stamp and its space
  LineKind kind = LineKind::kOther;
};

ConsoleLine ParseLine(std::string_view raw);

// Splits what arrives into lines: Add appends received bytes, TakeLine hands out each complete
// line (without its LF and a CR before it) in turn.
class LineSplitter {
 public:
  void Add(const char* bytes, std::size_t length) { pending_.append(bytes, length); }
  bool TakeLine(std::string& line);
  // The bytes of an unfinished line, handed out whole (a host's text without a line end).
  bool TakePartial(std::string& partial);
  bool HasPartial() const { return !pending_.empty(); }
  void Clear() { pending_.clear(); }

 private:
  std::string pending_;
};

// The echo the console sends of a line this client sent: "QC_MSG: " and the line as sent.
bool IsEchoOf(const ConsoleLine& line, std::string_view sent);

// Whether line is the echo of one of the lines awaiting theirs, which is then taken out. The
// console echoes a line when the game takes it, and the game takes the newest waiting line
// first: the echoes of lines sent within one frame arrive newest first. Lines that reached the
// console in one piece (a paste) come back as one echo whose later lines carry no time stamp
// and no tag: with afterOwnEcho (the line before was an own echo) such a line counts too.
bool TakeOwnEcho(std::deque<std::string>& awaiting, const ConsoleLine& line, bool afterOwnEcho);

// "QC_OK: <address> connected (Port <p>, GoID: <g>)" and its "disconnected" sibling.
bool IsPresenceNotice(const ConsoleLine& line);
// The presence notice of exactly this address, port (as printed, signed) and GoID.
bool IsConnectedNoticeOf(const ConsoleLine& line, std::string_view address, int printedPort,
                         int printedGoid);

// Lines of the "[who]" and "[spawns]" listings.
enum class ListingPart { kNone, kWhoHeader, kSpawnsHeader, kRow, kEnd };
ListingPart ClassifyListingLine(const ConsoleLine& line);

// The console's own commands: a line beginning with one of them never reaches the host.
enum class ConsoleCommand { kNone, kQuit, kWho, kSpawns };
ConsoleCommand MatchConsoleCommand(std::string_view line);

// One row of "[spawns]": "QC_OK: [NN]\tPort: P, GoID: G, TemplateName: NAME".
struct SpawnRow {
  std::uint16_t port = 0;  // the real port (the console prints ports above 32767 negative)
  int printedGoid = 0;     // as printed: a signed decimal
  std::string templateName;
};
bool ParseSpawnRow(const ConsoleLine& line, SpawnRow& row);

// Which rows OBJECT names: a template name, a GoID (as printed, or its unsigned form), or
// ":PORT". Rows of a GoID come first when OBJECT is a number that is some row's GoID.
std::vector<SpawnRow> MatchObject(const std::vector<SpawnRow>& rows, std::string_view object);

// ":PORT": the port, or 0 when object is not of that form.
std::uint16_t PortOfObject(std::string_view object);

// The consoles as a table: GoID, template name and port, one row per console, with a header.
std::string FormatConsoleTable(const std::vector<SpawnRow>& rows);

// The text with every byte that could steer a terminal written as \xNN: C0 controls (tab
// kept), DEL, the C1 controls U+0080 to U+009F, the bidirectional controls (U+061C, U+200E,
// U+200F, U+202A to U+202E, U+2066 to U+2069: each of their bytes, as "\xe2\x80\xae" for
// U+202E), and bytes that are not valid UTF-8. The one rule for the terminal client and the
// web console's lines.
std::string EscapeControlBytes(std::string_view text);

// The line as shown: escaped, and in colour when asked (errors red, reports highlighted, the
// client's own echoes marked with "> " and bold).
std::string RenderLine(std::string_view raw, bool ownEcho, bool colour);

}  // namespace qc::attach
