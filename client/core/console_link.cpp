// Connecting, greeting, and reading what "[spawns]" says.
#include "client/core/console_link.h"

namespace qc::attach {
namespace {

bool IsBody(const std::string& raw, std::string_view body) { return ParseLine(raw).body == body; }

class SocketConnector final : public Connector {
 public:
  Connection Connect(const std::string& host, std::uint16_t port, int millis) override {
    return ConnectTo(host, port, millis);
  }
  bool Send(Connection connection, const char* bytes, std::size_t length, int millis) override {
    return SendAllBytes(connection, bytes, length, millis);
  }
  int Receive(Connection connection, char* buffer, std::size_t capacity, int millis) override {
    return ReceiveBytes(connection, buffer, capacity, millis);
  }
  void Close(Connection connection) override { CloseConnection(connection); }
};

}  // namespace

Connector& SystemConnector() {
  static SocketConnector sockets;
  return sockets;
}

int PrintedPort(std::uint16_t port) { return port >= 32768 ? int{port} - 65536 : int{port}; }

bool ConsoleLink::Open(const std::string& host, std::uint16_t port) {
  Close();
  connection_ = connector_->Connect(host, port, connectMillis_);
  port_ = port;
  lost_ = connection_ == kNoConnection;
  return connection_ != kNoConnection;
}

void ConsoleLink::Close() {
  if (connection_ != kNoConnection) connector_->Close(connection_);
  connection_ = kNoConnection;
  lines_.Clear();
}

bool ConsoleLink::SendLine(std::string_view line) {
  if (connection_ == kNoConnection || lost_) return false;
  std::string bytes(line);
  bytes += '\n';
  if (!connector_->Send(connection_, bytes.data(), bytes.size(), replyMillis_)) lost_ = true;
  return !lost_;
}

bool ConsoleLink::Pump() {
  if (connection_ == kNoConnection || lost_) return false;
  char buffer[16384];
  for (;;) {
    const int n = connector_->Receive(connection_, buffer, sizeof buffer, 0);
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
    if (connection_ == kNoConnection || lost_ || WaitInterrupted()) return false;
    const int left = static_cast<int>(deadline - NowMillis());
    if (left <= 0) return false;
    const int n = connector_->Receive(connection_, buffer, sizeof buffer, left);
    if (n < 0) lost_ = true;
    if (n > 0) lines_.Add(buffer, static_cast<std::size_t>(n));
  }
}

OpenResult Greet(ConsoleLink& link, PasswordSource& password, Attached& attached) {
  std::string raw;
  if (!link.ReadLine(raw, link.ReplyMillis()) || !IsBody(raw, kWelcome)) return OpenResult::kBroken;
  if (link.ReadLine(raw, kPromptMillis)) {
    if (IsBody(raw, kPasswordRequired)) {
      attached.passwordAsked = true;
      if (!password.known) {
        if (!password.ask || !password.ask(password.password)) return OpenResult::kNoPassword;
        password.known = true;
      }
      if (!link.SendLine(password.password)) return OpenResult::kBroken;
      // A wrong password is answered after a pause of about a second.
      if (!link.ReadLine(raw, link.ReplyMillis() + 1000)) {
        return link.Lost() ? OpenResult::kPasswordRefused : OpenResult::kBroken;
      }
      if (IsBody(raw, kWrongPassword)) return OpenResult::kPasswordRefused;
      if (!IsBody(raw, kPasswordAccepted)) return OpenResult::kBroken;
      password.refused = false;
    } else {
      attached.early.push_back(raw);
    }
  } else if (link.Lost()) {
    return OpenResult::kBroken;
  }
  return OpenResult::kOpen;
}

OpenResult ReadSpawns(ConsoleLink& link, Attached& attached) {
  if (!link.SendLine("[spawns]")) return OpenResult::kBroken;
  attached.rows.clear();
  bool inListing = false;
  const std::int64_t deadline = NowMillis() + link.ReplyMillis();
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

bool LeaveConsole(ConsoleLink& link, int millis, std::vector<std::string>* lines) {
  bool farewell = false;
  if (link.SendLine("[quit]")) {
    const std::int64_t deadline = NowMillis() + millis;
    for (std::string raw;;) {
      const int left = static_cast<int>(deadline - NowMillis());
      // Ctrl-C stops a wait, not this one: the farewell is awaited for what is left of millis.
      if (left <= 0 || !link.ReadLine(raw, left)) {
        if (left > 0 && WaitInterrupted() && !link.Lost()) {
          ClearInterrupt();
          continue;
        }
        break;
      }
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
