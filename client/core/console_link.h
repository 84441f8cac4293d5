// One connection to a console, and finding the console of an object: connect, take the
// welcome, answer the password prompt, and read "[spawns]" to learn what runs where.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/core/options.h"
#include "client/core/platform.h"
#include "client/core/protocol.h"

namespace qc::attach {

// After the welcome, a console with a password sends its prompt at once; one without sends
// nothing of its own. Anything else, or this long a silence, means no password is asked.
constexpr int kPromptMillis = 1000;

// What a ConsoleLink talks through: the system's sockets (SystemConnector), or a stand-in
// console in the tests. The calls are those of platform.h.
class Connector {
 public:
  virtual ~Connector() = default;
  virtual Connection Connect(const std::string& host, std::uint16_t port, int millis) = 0;
  virtual bool Send(Connection connection, const char* bytes, std::size_t length, int millis) = 0;
  // The count received, 0 when nothing came within millis, -1 when the connection ended.
  virtual int Receive(Connection connection, char* buffer, std::size_t capacity, int millis) = 0;
  virtual void Close(Connection connection) = 0;
};
Connector& SystemConnector();

// A connection with the lines that arrived on it.
class ConsoleLink {
 public:
  ConsoleLink() = default;
  ConsoleLink(const ConsoleLink&) = delete;
  ConsoleLink& operator=(const ConsoleLink&) = delete;
  ~ConsoleLink() { Close(); }

  // How long a connect may take, and how long the console has for each of its own replies
  // (and a send for room); kDefaultConnectMillis and kDefaultReplyMillis until set.
  void SetTimes(int connectMillis, int replyMillis) {
    connectMillis_ = connectMillis;
    replyMillis_ = replyMillis;
  }
  int ReplyMillis() const { return replyMillis_; }
  // The connector of the next Open (closing the link first); SystemConnector until set.
  void UseConnector(Connector& connector) {
    Close();
    connector_ = &connector;
  }

  bool Open(const std::string& host, std::uint16_t port);
  void Close();
  bool IsOpen() const { return connection_ != kNoConnection; }
  Connection Handle() const { return connection_; }
  std::uint16_t Port() const { return port_; }
  bool Lost() const { return lost_; }

  // Sends the line and a line feed. False when the connection is gone.
  bool SendLine(std::string_view line);
  // The next complete line, waiting at most millis for it. False when none came in time or
  // the connection has ended (Lost() then tells).
  bool ReadLine(std::string& raw, int millis);
  // Receives what is there now without waiting; false when the connection has ended.
  bool Pump();
  LineSplitter& Lines() { return lines_; }

 private:
  Connector* connector_ = &SystemConnector();
  Connection connection_ = kNoConnection;
  std::uint16_t port_ = 0;
  bool lost_ = false;
  int connectMillis_ = kDefaultConnectMillis;
  int replyMillis_ = kDefaultReplyMillis;
  LineSplitter lines_;
};

// Where the password comes from: given once (QUILLARET_PASSWORD, or asked for), then kept for
// reconnecting. ask is called at most until it gives one; when the console refuses the
// password and askAgain is set, refused is set and ask is called again (the terminal's prompt
// says so); otherwise a refusal ends the attempt.
struct PasswordSource {
  std::string password;
  bool known = false;
  bool askAgain = false;
  bool refused = false;
  std::function<bool(std::string&)> ask;
};

enum class OpenResult {
  kOpen,             // attached
  kUnreachable,      // no console answered
  kPasswordRefused,  // the console refused the password
  kNoPassword,       // a password was asked for and none could be had
  kNotFound,         // no console of that object
  kAmbiguous,        // several consoles match the object
  kBroken,           // the console did not speak the protocol, or closed the connection
};

// The object's console, found and attached.
struct Attached {
  std::vector<SpawnRow> rows;  // every console, when "[spawns]" was asked; else empty
  SpawnRow own;                // this console's row; ownKnown false when it is not known
  bool ownKnown = false;
  std::vector<std::string> early;  // lines that arrived meanwhile and belong to the session
  bool passwordAsked = false;
};

// Takes the welcome and passes the password prompt if there is one. Lines that arrive after
// the welcome go to attached.early.
OpenResult Greet(ConsoleLink& link, PasswordSource& password, Attached& attached);

// Asks "[spawns]" and reads the listing into attached.rows (every other line that arrives
// meanwhile goes to attached.early). kOpen, or kBroken when it does not come in time.
OpenResult ReadSpawns(ConsoleLink& link, Attached& attached);

// Leaves the console: "[quit]", then waits at most millis for the farewell or the close.
// Lines that arrive meanwhile, the farewell last, go to lines. True when the farewell came.
bool LeaveConsole(ConsoleLink& link, int millis, std::vector<std::string>* lines);

// The port as the console prints it: a 16-bit value read as signed.
int PrintedPort(std::uint16_t port);

}  // namespace qc::attach
