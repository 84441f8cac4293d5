// The console protocol of one connection: the welcome, the password gate, line assembly, the
// console's own commands, the lines queued for the host, the notices, and the time-outs. It
// touches no socket: it takes received bytes and the loop's clock, and leaves its answers in
// the client's output queue, so that it runs the same under the loop and under a test.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/broadcast.h"
#include "net/client.h"
#include "net/limits.h"
#include "net/password_gate.h"
#include "net/sockets.h"
#include "server/console_server.h"

namespace qc {

// The console's own commands, matched at the start of a line, case-sensitively.
enum class LineCommand { kQuit, kWho, kSpawns, kNone };
LineCommand MatchCommand(const char* line);

// How long a connection may wait at the password prompt, and how many may wait at once.
constexpr std::int64_t kPromptTimeoutMillis = 20000;
constexpr int kMostWaitingAtPrompt = 20;
constexpr int kMostWaitingPerAddress = 3;
// Notices for the host that found PendingMessages full, oldest first, in a ring (limits.h).
struct WaitingNotices {
  char Texts[kWaitingNotices][kNoticeBytes];
  int Base;
  int Count;
};

// What handling a connection needs besides the connection.
struct SessionContext {
  ConsoleServer* Server;
  std::int64_t Now;    // the loop's clock (platform::MonotonicMillis) for this turn
  char* Scratch;       // kTextBytes of working room (notices, listings)
  InboxBatch* Batch;   // the loop's, for handing out the inbox when ClientList changes
  ClientState* const* Connections;  // every connection of the console
  int ConnectionCount;
  PasswordGate* Gate;  // the console's refusal notices
  WaitingNotices* Notices;  // the console's
};

// Pushes a notice for the host, or, while PendingMessages is full or notices wait before it,
// adds it to the waiting ones. PushNoticeLocked: the caller holds StateLock.
void PushNotice(SessionContext& context, const char* notice);
void PushNoticeLocked(SessionContext& context, const char* notice);
// Pushes the waiting notices as far as PendingMessages has room.
void PushWaitingNotices(SessionContext& context);
// Whether a line pushed now goes onto the stack: it has room and no notice waits before it.
// When it has none, the host's next pop wakes the loop (ConsoleServer::WantsSlot).
bool StackHasRoom(const SessionContext& context);

// A connection just accepted (its Address read, and already among context.Connections): the
// welcome, then the password prompt (or its refusal, when too many wait at the prompt) or the
// announcement to the host and the listing.
void BeginSession(SessionContext& context, ClientState& client);

// Bytes received from the client. bytes has room for length + 1 bytes (the telnet filter may
// need one more).
void TakeInput(SessionContext& context, ClientState& client, char* bytes, std::size_t length);

// Runs what falls due at context.Now for one connection: the receive time-out, the prompt's
// time-out, the listing of an admitted client, the folded overflow notice.
void RunTimers(SessionContext& context, ClientState& client);

// Handles the client's ready lines as far as this turn allows: until PendingMessages has no
// room, its commands for this turn (ClientState::CommandsLeft) are spent, or its unsent output
// passes kOutputHighWater. What is left waits for a later turn.
void RunInputLines(SessionContext& context, ClientState& client);
// Whether RunInputLines would handle a line now.
bool InputCanProceed(const SessionContext& context, const ClientState& client);


// The earliest time at which RunTimers has something to do; 0 for none. The password gate's
// own timer is NextGateTimer (net/password_gate.h).
std::int64_t NextTimer(const SessionContext& context, const ClientState& client);

// Whether the loop should read from the client now: it is at the prompt, or listed with its
// ready lines all handled, its output below the high-water mark and room for its lines.
bool WantsInput(const SessionContext& context, const ClientState& client);

// Ends the session of a client whose connection broke or is dropped: a listed client is
// announced as disconnected and leaves ClientList. The connection is to be closed at once.
void EndSession(SessionContext& context, ClientState& client);

}  // namespace qc
