// Finding an object's console without disturbing the others. The last "[spawns]" listing seen
// for a host and BasePort is remembered in the user's state folder; an object is looked for
// on its remembered port first, where the console's connected notice (it carries the GoID)
// confirms it. "[spawns]" is asked only when nothing is remembered or the confirmation fails,
// and then on the remembered port first, on the first console only when nothing is better.
// Plain code over ConsoleLink: any program that attaches to consoles can use it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/options.h"
#include "client/core/protocol.h"

namespace qc::attach {

// How long the connected notice may take to confirm an object: the game takes it in its next
// frame. A game that takes longer (paused, loading) costs one "[spawns]" on that same port.
constexpr int kConfirmMillis = 1500;

struct LookupSettings {
  std::string host = "127.0.0.1";
  int basePort = kDefaultBasePort;
  std::string stateFolder;  // "" : nothing is remembered
  int connectMillis = kDefaultConnectMillis;
  int replyMillis = kDefaultReplyMillis;
  int confirmMillis = kConfirmMillis;
};

// Where the listing of host and basePort is remembered:
// STATE/quillaret/listings/HOST_BASEPORT (bytes that could trouble a file name as %XX);
// "" when there is no state folder.
std::string ListingPath(const std::string& stateFolder, const std::string& host, int basePort);
// The remembered rows; none when the file is missing or unreadable. One row a line:
// "PORT<TAB>GOID<TAB>TEMPLATE" (the real port, the GoID as printed).
std::vector<SpawnRow> ReadRememberedListing(const std::string& path);
// Replaces the remembered rows (written beside and renamed into place). False on failure.
bool RememberListing(const std::string& path, const std::vector<SpawnRow>& rows);

// Reads a presence notice: "QC_OK: ADDRESS connected (Port P, GoID G)" or "disconnected".
struct PresenceNotice {
  std::string address;
  int printedPort = 0;
  int printedGoid = 0;
  bool connected = false;
};
bool ParsePresenceNotice(const ConsoleLine& line, PresenceNotice& notice);

class ConsoleFinder {
 public:
  // Reads the remembered listing. password is asked for and kept as PasswordSource says. The
  // links it opens talk through connector.
  ConsoleFinder(const LookupSettings& settings, PasswordSource& password,
                Connector& connector = SystemConnector());

  // Attaches link to the console of object (a template name, a GoID or ":PORT", not a
  // pattern), quietly as the file comment says. kOpen with attached.own known (for ":PORT"
  // when some listing names that port); kNotFound and kAmbiguous with attached.rows listing
  // every console.
  OpenResult Attach(const std::string& object, ConsoleLink& link, Attached& attached);

  // Opens a console and reads its "[spawns]" into attached.rows: remembered ports for which
  // prefer says true first, then the other remembered ports, then the first console (BasePort)
  // alone. The link stays open on that console.
  OpenResult List(const std::function<bool(const SpawnRow&)>& prefer, ConsoleLink& link,
                  Attached& attached);

  // The objects that the selection names, each in a form Attach finds again after a restart:
  // names and GoIDs as given; for patterns and all, each matching console by its template name
  // when it is unique, else its GoID, else ":PORT". A listing is read (List) only for
  // patterns and all. kNotFound (with failed the pattern, rows every console) when a pattern
  // matches nothing; duplicates are left out.
  OpenResult Select(const std::vector<std::string>& objects, bool all,
                    std::vector<std::string>& selected, std::string& failed,
                    std::vector<SpawnRow>& rows);

  const std::vector<SpawnRow>& Remembered() const { return remembered_; }
  // The ports where no console answered, in the order tried, each once: what a failed lookup
  // tried in vain.
  const std::vector<std::uint16_t>& Unanswered() const { return unanswered_; }

 private:
  OpenResult Open(std::uint16_t port, ConsoleLink& link, Attached& attached);
  // Waits for a presence notice of this console: true when it names the row's GoID.
  bool Confirm(ConsoleLink& link, const SpawnRow& row, Attached& attached);
  OpenResult Spawns(ConsoleLink& link, Attached& attached);
  OpenResult Settle(const std::string& object, ConsoleLink& link, Attached& attached);

  LookupSettings settings_;
  PasswordSource& password_;
  Connector& connector_;
  std::string path_;
  std::vector<SpawnRow> remembered_;
  std::vector<std::uint16_t> unanswered_;
};

}  // namespace qc::attach
