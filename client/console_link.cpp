// Connecting, greeting and finding a console by what "[spawns]" says.
#include "client/console_link.h"

namespace qc::attach {
namespace {

constexpr int kMaxConsoles = 100;
// How long the search for a console that answers may take, over all the ports it tries.
constexpr int kSearchMillis = 5000;

bool IsBody(const std::string& raw, std::string_view body) { return ParseLine(raw).body == body; }

// Reads "[spawns]" after sending it: the rows, with every other line kept in early.
OpenResult ReadSpawns(ConsoleLink& link, Attached& attached) {
  if (!link.SendLine("[spawns]")) return OpenResult::kBroken;
  bool inListing = false;
  const std::int64_t deadline = NowMillis() + kReplyMillis;
  for (std::string raw;;) {
    const int left = static_cast<int>(deadline - NowMillis());
    if (left <= 0 || !link.ReadLine(raw, left)) return OpenResult::kBroken;
    const ConsoleLine line = ParseLine(raw);
    const ListingPart part = ClassifyListingLine(line);
    if (!inListing) {
      if (part == ListingPart::kSpawnsHeader) {
        inListing = true;
      } else {
        attached.early.push_back(raw);
      }
      continue;
    }
    if (part == ListingPart::kEnd) return OpenResult::kOpen;
    SpawnRow row;
    if (ParseSpawnRow(line, row)) {
      attached.rows.push_back(row);
    } else {
      attached.early.push_back(raw);
    }
  }
}

}  // namespace

int PrintedPort(std::uint16_t port) { return port >= 32768 ? int{port} - 65536 : int{port}; }

bool ConsoleLink::Open(const std::string& host, std::uint16_t port) {
  Close();
  connection_ = ConnectTo(host, port, kConnectMillis);
  port_ = port;
  lost_ = connection_ == kNoConnection;
  return connection_ != kNoConnection;
}

void ConsoleLink::Close() {
  if (connection_ != kNoConnection) CloseConnection(connection_);
  connection_ = kNoConnection;
  lines_.Clear();
}

bool ConsoleLink::SendLine(std::string_view line) {
  if (connection_ == kNoConnection || lost_) return false;
  std::string bytes(line);
  bytes += '\n';
  if (!SendAllBytes(connection_, bytes.data(), bytes.size(), kReplyMillis)) lost_ = true;
  return !lost_;
}

bool ConsoleLink::Pump() {
  if (connection_ == kNoConnection || lost_) return false;
  char buffer[16384];
  for (;;) {
    const int n = ReceiveBytes(connection_, buffer, sizeof buffer, 0);
    if (n < 0) {
      lost_ = true;
      return false;
    }
    if (n == 0) return true;
    lines_.Add(buffer, static_cast<std::size_t>(n));
  }
}

bool ConsoleLink::ReadLine(std::string& raw, int millis) {
  const std::int64_t deadline = NowMillis() + millis;
  char buffer[16384];
  for (;;) {
    if (lines_.TakeLine(raw)) return true;
    if (connection_ == kNoConnection || lost_) return false;
    const int left = static_cast<int>(deadline - NowMillis());
    if (left <= 0) return false;
    const int n = ReceiveBytes(connection_, buffer, sizeof buffer, left);
    if (n < 0) lost_ = true;
    if (n > 0) lines_.Add(buffer, static_cast<std::size_t>(n));
  }
}

OpenResult Greet(ConsoleLink& link, PasswordSource& password, Attached& attached) {
  std::string raw;
  if (!link.ReadLine(raw, kReplyMillis) || !IsBody(raw, kWelcome)) return OpenResult::kBroken;
  if (link.ReadLine(raw, kPromptMillis)) {
    if (IsBody(raw, kPasswordRequired)) {
      attached.passwordAsked = true;
      if (!password.known) {
        if (!password.ask || !password.ask(password.password)) return OpenResult::kNoPassword;
        password.known = true;
      }
      if (!link.SendLine(password.password)) return OpenResult::kBroken;
      // A wrong password is answered after a pause of about a second.
      if (!link.ReadLine(raw, kReplyMillis + 1000)) {
        return link.Lost() ? OpenResult::kPasswordRefused : OpenResult::kBroken;
      }
      if (IsBody(raw, kWrongPassword)) return OpenResult::kPasswordRefused;
      if (!IsBody(raw, kPasswordAccepted)) return OpenResult::kBroken;
    } else {
      attached.early.push_back(raw);
    }
  } else if (link.Lost()) {
    return OpenResult::kBroken;
  }
  return ReadSpawns(link, attached);
}

OpenResult OpenAnyConsole(const std::string& host, int basePort, PasswordSource& password,
                          ConsoleLink& link, Attached& attached) {
  attached = Attached{};
  // The first console listens on BasePort; one whose port could not be opened leaves a gap.
  const std::int64_t deadline = NowMillis() + kSearchMillis;
  for (int i = 0; i < kMaxConsoles && NowMillis() < deadline; ++i) {
    const auto port = static_cast<std::uint16_t>(static_cast<unsigned>(basePort) + i);
    if (!link.Open(host, port)) continue;
    const OpenResult result = Greet(link, password, attached);
    if (result != OpenResult::kOpen) link.Close();
    return result;
  }
  return OpenResult::kUnreachable;
}

OpenResult AttachTo(const std::string& host, int basePort, const std::string& object,
                    PasswordSource& password, ConsoleLink& link, Attached& attached) {
  attached = Attached{};
  const std::uint16_t direct = PortOfObject(object);
  OpenResult result = OpenResult::kUnreachable;
  if (direct != 0) {
    if (!link.Open(host, direct)) return OpenResult::kUnreachable;
    result = Greet(link, password, attached);
    if (result != OpenResult::kOpen) link.Close();
  } else {
    result = OpenAnyConsole(host, basePort, password, link, attached);
  }
  if (result != OpenResult::kOpen) return result;
  const std::vector<SpawnRow> matches = MatchObject(attached.rows, object);
  if (direct == 0) {
    if (matches.empty()) result = OpenResult::kNotFound;
    if (matches.size() > 1) result = OpenResult::kAmbiguous;
    if (result != OpenResult::kOpen) {
      (void)LeaveConsole(link, kReplyMillis, nullptr);
      return result;
    }
    if (matches.front().port != link.Port()) {
      // Another console answered the search: leave it and attach to the object's own.
      (void)LeaveConsole(link, kReplyMillis, nullptr);
      attached = Attached{};
      if (!link.Open(host, matches.front().port)) return OpenResult::kUnreachable;
      result = Greet(link, password, attached);
      if (result != OpenResult::kOpen) {
        link.Close();
        return result;
      }
      // The object may have moved between the two looks (the game restarting).
      const std::vector<SpawnRow> again = MatchObject(attached.rows, object);
      if (again.size() != 1 || again.front().port != link.Port()) {
        (void)LeaveConsole(link, kReplyMillis, nullptr);
        return OpenResult::kNotFound;
      }
    }
  }
  for (const SpawnRow& row : attached.rows) {
    if (row.port == link.Port() && (direct != 0 || MatchObject({row}, object).size() == 1)) {
      attached.own = row;
      attached.ownKnown = true;
      break;
    }
  }
  return OpenResult::kOpen;
}

bool LeaveConsole(ConsoleLink& link, int millis, std::vector<std::string>* lines) {
  bool farewell = false;
  if (link.SendLine("[quit]")) {
    const std::int64_t deadline = NowMillis() + millis;
    for (std::string raw;;) {
      const int left = static_cast<int>(deadline - NowMillis());
      if (left <= 0 || !link.ReadLine(raw, left)) break;
      if (lines != nullptr) lines->push_back(raw);
      if (IsBody(raw, kFarewell)) {
        farewell = true;
        break;
      }
    }
  }
  link.Close();
  return farewell;
}

}  // namespace qc::attach
