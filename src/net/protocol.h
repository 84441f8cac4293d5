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
#include "net/notices.h"
#include "net/password_gate.h"
#include "net/sockets.h"
#include "server/console_server.h"

namespace qc {

// The console's own commands, matched at the start of a line, case-sensitively.
enum class LineCommand { kQuit, kWho, kSpawns, kNone };
LineCommand MatchCommand(const char* line);

// The echo still owed to the slowest listed developer: its unsent output, the inbox, and the
// lines on the stack.
std::size_t EchoOwed(const SessionContext& context);
// Whether a typed line pushed now goes onto the stack: it has room, and the echo owed is below
// the pace mark (net/limits.h).
bool StackTakesLines(const SessionContext& context);

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

// Handles the client's ready lines as far as this turn allows. Ordinary lines go to the host
// while the stack takes them (StackTakesLines); those it does not take wait, in order, at the
// front of the line (ClientState::WaitingForStack), and the commands after them are answered
// meanwhile. Commands stop when its commands for this turn (ClientState::CommandsLeft) are
// spent or its unsent output passes kOutputHighWater; what is left waits for a later turn.
void RunInputLines(SessionContext& context, ClientState& client);

// For a client that left with typed lines waiting (ClientState::Departed): pushes them as far
// as the stack takes them, or, when now, at once whatever the stack holds; once they are all
// pushed, its disconnected notice follows and Departed is cleared.
void PushDepartedLines(SessionContext& context, ClientState& client, bool now);

// The earliest time at which RunTimers has something to do; 0 for none. The password gate's
// own timer is NextGateTimer (net/password_gate.h).
std::int64_t NextTimer(const SessionContext& context, const ClientState& client);

// Whether the loop should read from the client now: it is at the prompt with its output below
// the high-water mark; waiting for the answer to a wrong password until its stream ends (what
// it sends is dropped, and the end of its stream frees its place at once); or listed with its
// output below the mark, no command left for a later turn, and room in its line for one more piece.
bool WantsInput(const SessionContext& context, const ClientState& client);

// Ends the session of a client whose connection broke or is dropped: a listed client is
// announced as disconnected and leaves ClientList. The connection is to be closed at once.
void EndSession(SessionContext& context, ClientState& client);

}  // namespace qc
