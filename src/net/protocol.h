// The console protocol of one connection: the welcome, the password gate, line assembly, the
// console's own commands, the lines queued for the host, the notices, and the time-outs. It
// touches no socket: it takes received bytes and the loop's clock, and leaves its answers in
// the client's output queue, so that it runs the same under the loop and under a test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/broadcast.h"
#include "net/client.h"
#include "server/console_server.h"

namespace qc {

// The console's own commands, matched at the start of a complete line, case-sensitively.
enum class LineCommand { kQuit, kWho, kSpawns, kNone };
LineCommand MatchCommand(const char* line);

// What handling a connection needs besides the connection.
struct SessionContext {
  ConsoleServer* Server;
  std::int64_t Now;    // the loop's clock (platform::MonotonicMillis) for this turn
  char* Scratch;       // kTextBytes of working room (notices, listings)
  InboxBatch* Batch;   // the loop's, for handing out the inbox when ClientList changes
};

// A connection just accepted (its Address read): the welcome, then the password prompt or
// the announcement to the host and the listing.
void BeginSession(SessionContext& context, ClientState& client);

// Bytes received from the client. bytes has room for length + 1 bytes (the telnet filter may
// need one more).
void TakeInput(SessionContext& context, ClientState& client, char* bytes, std::size_t length);

// Runs what falls due at context.Now: the receive time-out, the answer to a wrong password.
void RunTimers(SessionContext& context, ClientState& client);

// Whether the loop should read from the client now.
bool WantsInput(const ClientState& client);

// Ends the session of a client whose connection broke or is dropped: a listed client is
// announced as disconnected and leaves ClientList. The connection is to be closed at once.
void EndSession(SessionContext& context, ClientState& client);

}  // namespace qc
