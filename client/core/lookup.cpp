// Quiet lookups: the remembered listing, confirmation by the connected notice, and "[spawns]"
// asked only where nobody else is disturbed by it, when that can be helped.
#include "client/core/lookup.h"

#include <algorithm>

#include "client/core/history.h"
#include "client/core/parsing.h"
#include "client/core/platform.h"

namespace qc::attach {
namespace {

// How long the search for a console that answers may take, over all the ports it tries.
constexpr int kSearchMillis = 5000;

}  // namespace

std::string ListingPath(const std::string& stateFolder, const std::string& host, int basePort) {
  if (stateFolder.empty()) return "";
  return stateFolder + "/quillaret/listings/" + FileNameFor(host + "_" + std::to_string(basePort));
}

std::vector<SpawnRow> ReadRememberedListing(const std::string& path) {
  std::vector<SpawnRow> rows;
  std::string text;
  if (path.empty() || !ReadWholeFile(path, text)) return rows;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a row cut short is left out
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    std::size_t pos = 0;
    long long port = 0;
    long long goid = 0;
    if (!ReadNumber(line, pos, port) || !Expect(line, pos, "\t") || !ReadNumber(line, pos, goid) ||
        !Expect(line, pos, "\t") || port < 1 || port > 65535 || goid < -2147483648LL ||
        goid > 2147483647LL) {
      continue;
    }
    SpawnRow row;
    row.port = static_cast<std::uint16_t>(port);
    row.printedGoid = static_cast<int>(goid);
    row.templateName = line.substr(pos);
    rows.push_back(row);
  }
  return rows;
}

bool RememberListing(const std::string& path, const std::vector<SpawnRow>& rows) {
  if (path.empty()) return false;
  std::string text;
  for (const SpawnRow& row : rows) {
    // A template name with a line end in it cannot be kept on one line.
    if (row.templateName.find_first_of("\r\n") != std::string::npos) continue;
    text += std::to_string(row.port) + "\t" + std::to_string(row.printedGoid) + "\t" +
            row.templateName + "\n";
  }
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos && !MakeFolders(path.substr(0, slash))) return false;
  return ReplaceWholeFile(path, text);
}

bool ParsePresenceNotice(const ConsoleLine& line, PresenceNotice& notice) {
  if (!IsPresenceNotice(line)) return false;
  const std::string& body = line.body;
  const std::size_t space = body.find(' ', 7);
  std::size_t pos = space;
  notice.address = body.substr(7, space - 7);
  notice.connected = Expect(body, pos, " connected (Port ");
  if (!notice.connected) (void)Expect(body, pos, " disconnected (Port ");
  long long port = 0;
  long long goid = 0;
  (void)ReadNumber(body, pos, port);
  (void)Expect(body, pos, ", GoID: ");
  (void)ReadNumber(body, pos, goid);
  notice.printedPort = static_cast<int>(port);
  notice.printedGoid = static_cast<int>(goid);
  return true;
}

ConsoleFinder::ConsoleFinder(const LookupSettings& settings, PasswordSource& password,
                             Connector& connector)
    : settings_(settings),
      password_(password),
      connector_(connector),
      path_(ListingPath(settings.stateFolder, settings.host, settings.basePort)),
      remembered_(ReadRememberedListing(path_)) {}

OpenResult ConsoleFinder::Open(std::uint16_t port, ConsoleLink& link, Attached& attached) {
  for (int refusals = 0;;) {
    attached = Attached{};
    link.UseConnector(connector_);
    link.SetTimes(settings_.connectMillis, settings_.replyMillis);
    if (!link.Open(settings_.host, port)) {
      if (std::find(unanswered_.begin(), unanswered_.end(), port) == unanswered_.end()) {
        unanswered_.push_back(port);
      }
      return OpenResult::kUnreachable;
    }
    const OpenResult result = Greet(link, password_, attached);
    if (result == OpenResult::kPasswordRefused && password_.askAgain && password_.ask &&
        ++refusals <= 3) {
      // The console closes the connection after a wrong password: ask, and connect again.
      link.Close();
      password_.known = false;
      password_.refused = true;
      continue;
    }
    if (result != OpenResult::kOpen) link.Close();
    return result;
  }
}

bool ConsoleFinder::Confirm(ConsoleLink& link, const SpawnRow& row, Attached& attached) {
  // Any developer's notice on this console names its port and GoID; the own one comes first
  // unless someone else came or went at the same moment. It may have come with the greeting.
  int verdict = -1;
  auto judge = [&](const std::string& raw) {
    PresenceNotice notice;
    if (verdict < 0 && ParsePresenceNotice(ParseLine(raw), notice) &&
        notice.printedPort == PrintedPort(link.Port())) {
      verdict = notice.printedGoid == row.printedGoid ? 1 : 0;
    }
  };
  for (const std::string& raw : attached.early) judge(raw);
  const std::int64_t deadline = NowMillis() + settings_.confirmMillis;
  for (std::string raw; verdict < 0;) {
    const int left = static_cast<int>(deadline - NowMillis());
    if (left <= 0 || !link.ReadLine(raw, left)) return false;
    attached.early.push_back(raw);
    judge(raw);
  }
  return verdict == 1;
}

OpenResult ConsoleFinder::Spawns(ConsoleLink& link, Attached& attached) {
  const OpenResult result = ReadSpawns(link, attached);
  if (result != OpenResult::kOpen) return result;
  remembered_ = attached.rows;
  (void)RememberListing(path_, remembered_);
  return result;
}

OpenResult ConsoleFinder::List(const std::function<bool(const SpawnRow&)>& prefer,
                               ConsoleLink& link, Attached& attached) {
  std::vector<std::uint16_t> ports;
  auto add = [&](std::uint16_t port) {
    if (port != 0 && std::find(ports.begin(), ports.end(), port) == ports.end()) {
      ports.push_back(port);
    }
  };
  for (const SpawnRow& row : remembered_) {
    if (prefer && prefer(row)) add(row.port);
  }
  for (const SpawnRow& row : remembered_) add(row.port);
  // Then the first console, on BasePort, and no port after it: while the game is down, the
  // ports above may be another game's (a second game on the machine, with the next BasePort),
  // whose consoles must never be taken for this one's.
  if (settings_.basePort > 0 && settings_.basePort <= 65535) {
    add(static_cast<std::uint16_t>(settings_.basePort));
  }
  const std::int64_t deadline = NowMillis() + std::max(kSearchMillis, settings_.connectMillis);
  for (const std::uint16_t port : ports) {
    if (NowMillis() >= deadline || WaitInterrupted()) break;
    OpenResult result = Open(port, link, attached);
    if (result == OpenResult::kUnreachable) continue;
    if (result == OpenResult::kOpen) result = Spawns(link, attached);
    if (result != OpenResult::kOpen) link.Close();
    return result;
  }
  return OpenResult::kUnreachable;
}

OpenResult ConsoleFinder::Settle(const std::string& object, ConsoleLink& link, Attached& attached) {
  const std::vector<SpawnRow> matches = MatchObject(attached.rows, object);
  if (matches.size() != 1) {
    (void)LeaveConsole(link, settings_.replyMillis, nullptr);
    return matches.empty() ? OpenResult::kNotFound : OpenResult::kAmbiguous;
  }
  if (matches.front().port != link.Port()) {
    // The listing came from another console: leave it and attach to the object's own.
    (void)LeaveConsole(link, settings_.replyMillis, nullptr);
    const std::vector<SpawnRow> rows = attached.rows;
    const OpenResult result = Open(matches.front().port, link, attached);
    if (result != OpenResult::kOpen) return result;
    if (!Confirm(link, matches.front(), attached)) {
      // The game restarted between the two looks, or took no frame in time: its own listing
      // decides.
      if (Spawns(link, attached) != OpenResult::kOpen) {
        link.Close();
        return OpenResult::kBroken;
      }
      const std::vector<SpawnRow> again = MatchObject(attached.rows, object);
      if (again.size() != 1 || again.front().port != link.Port()) {
        (void)LeaveConsole(link, settings_.replyMillis, nullptr);
        return OpenResult::kNotFound;
      }
    } else {
      attached.rows = rows;
    }
  }
  attached.own = matches.front();
  attached.ownKnown = true;
  return OpenResult::kOpen;
}

OpenResult ConsoleFinder::Attach(const std::string& object, ConsoleLink& link, Attached& attached) {
  attached = Attached{};
  const std::uint16_t direct = PortOfObject(object);
  std::vector<SpawnRow> expected;
  if (direct != 0) {
    for (const SpawnRow& row : remembered_) {
      if (row.port == direct) expected.push_back(row);
    }
  } else {
    expected = MatchObject(remembered_, object);
  }
  std::uint16_t port = direct;
  if (port == 0 && expected.size() == 1) port = expected.front().port;
  if (port != 0) {
    const OpenResult result = Open(port, link, attached);
    if (result == OpenResult::kOpen) {
      if (expected.size() == 1 && Confirm(link, expected.front(), attached)) {
        attached.own = expected.front();
        attached.ownKnown = true;
        return OpenResult::kOpen;
      }
      // Not confirmed: this console's listing says what runs where now.
      if (Spawns(link, attached) != OpenResult::kOpen) {
        link.Close();
        return OpenResult::kBroken;
      }
      if (direct == 0) return Settle(object, link, attached);
      for (const SpawnRow& row : attached.rows) {
        if (row.port == direct) {
          attached.own = row;
          attached.ownKnown = true;
        }
      }
      return OpenResult::kOpen;
    }
    if (direct != 0 || result != OpenResult::kUnreachable) return result;
    // The remembered port does not answer: the game restarted with fewer consoles, or is down.
  }
  auto named = [&](const SpawnRow& row) { return MatchObject({row}, object).size() == 1; };
  const OpenResult result = List(named, link, attached);
  if (result != OpenResult::kOpen) return result;
  return Settle(object, link, attached);
}

OpenResult ConsoleFinder::Select(const std::vector<std::string>& objects, bool all,
                                 std::vector<std::string>& selected, std::string& failed,
                                 std::vector<SpawnRow>& rows) {
  selected.clear();
  auto keep = [&](const std::string& object) {
    if (std::find(selected.begin(), selected.end(), object) == selected.end()) {
      selected.push_back(object);
    }
  };
  const bool patterns =
      all || std::any_of(objects.begin(), objects.end(),
                         [](const std::string& object) { return IsPattern(object); });
  if (!patterns) {
    for (const std::string& object : objects) keep(object);
    return OpenResult::kOpen;
  }
  std::vector<std::string> specs = objects;
  if (all) specs.assign(1, "*");
  auto wanted = [&](const SpawnRow& row) {
    for (const std::string& spec : specs) {
      if (IsPattern(spec) ? MatchPattern(spec, row.templateName)
                          : MatchObject({row}, spec).size() == 1) {
        return true;
      }
    }
    return false;
  };
  ConsoleLink link;
  Attached attached;
  const OpenResult result = List(wanted, link, attached);
  if (result != OpenResult::kOpen) return result;
  (void)LeaveConsole(link, settings_.replyMillis, nullptr);
  rows = attached.rows;
  for (const std::string& spec : specs) {
    if (!IsPattern(spec)) {
      keep(spec);
      continue;
    }
    bool any = false;
    for (const SpawnRow& row : rows) {
      if (!MatchPattern(spec, row.templateName)) continue;
      any = true;
      auto namesOnlyThis = [&](const std::string& object) {
        const std::vector<SpawnRow> found = MatchObject(rows, object);
        return found.size() == 1 && found.front().port == row.port;
      };
      if (namesOnlyThis(row.templateName)) {
        keep(row.templateName);
      } else if (namesOnlyThis(std::to_string(row.printedGoid))) {
        keep(std::to_string(row.printedGoid));
      } else {
        keep(":" + std::to_string(row.port));
      }
    }
    if (!any) {
      failed = spec;
      return OpenResult::kNotFound;
    }
  }
  return OpenResult::kOpen;
}

}  // namespace qc::attach
