// One connection's state, as the console's loop keeps it: where it stands in the protocol, the
// line being typed, the telnet filter's state, and the output waiting for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/limits.h"
#include "net/line_assembler.h"
#include "net/output_queue.h"
#include "net/sockets.h"
#include "net/telnet.h"
#include "server/console_server.h"

namespace qc {

// Where a connection stands.
enum class ClientPhase : std::uint8_t {
  kPassword,   // asked for the password; its first line is the attempt
  kRefusing,   // gave a wrong password; answered when its turn comes
  kAdmitted,   // gave the right password; listed once nothing holds it back
  kListed,     // in ClientList: its lines go to the host
  kClosing,    // its last output goes out, then its sending side is shut down
  kLingering,  // what it still sends is read and dropped until it closes, or for a while
  kDeparted,   // gone, its socket closed; typed lines of its still wait for the stack
};

// Why the loop must drop a client at its next turn.
enum class ClientDrop : std::uint8_t {
  kNone,
  kBufferFull,  // its unsent output passed the hard limit, or the soft one for too long
  kNoMemory,    // output for it could not be queued
};

// What the client sends: the telnet filter's state and the line, and how its lines are handled.
struct ClientInput {
  TelnetState Telnet;
  LineAssembler Line;
  bool LineOverflowed;  // while a password attempt is collected
  // The first this many bytes of its ready lines wait for the host's stack (no room, or the
  // echo owed to the readers is at the pace mark); its commands are answered meanwhile, and it
  // is still read from.
  std::size_t WaitingForStack;
  // Console commands it may still have answered in this turn of the loop.
  int CommandsLeft;
  // The loop's clock (platform::MonotonicMillis) at which the receive time-out fires next (0:
  // none).
  std::int64_t ReceiveDeadline;
  // It ended its stream while waiting for the answer to a wrong password: it sends nothing
  // more and holds no place at the prompt, but may still read the answer.
  bool Ended;
};

// What waits to be sent to the client, and how the send policy (net/send_policy.h) judges it.
struct ClientOutput {
  OutputQueue Queue;
  ClientDrop Drop;  // set when it is to be dropped at the loop's next turn
  // The socket took no more at the last try (at TriedAt); the next try waits until it is
  // writable, or for half the send time limit.
  bool Blocked;
  std::int64_t TriedAt;
  // Since when output waits without progress (0: nothing waits), and since when its unsent
  // output is above SendBufferBytes (0: it is not).
  std::int64_t StalledSince;
  std::int64_t OverSoftSince;
};

// The client at the password prompt: when it came, when the prompt times out, and its attempt
// (when it was given, and the gate's number for it: the order of every attempt given to any
// console of the process, net/password_gate.h).
struct ClientGate {
  std::int64_t PromptSince;
  std::int64_t PromptDeadline;
  std::int64_t AttemptAt;
  std::uint64_t AttemptTicket;
};

// Its overflows: the times of the latest exact notices (a ring), the overflows counted since
// the last notice, and when the last notice of any kind went out.
struct ClientOverflow {
  std::int64_t ExactAt[kExactOverflowsPerSecond];
  int NextExact;
  int Folded;
  std::int64_t NoticeAt;
};

struct ClientState {
  Socket Connection;
  char Address[kAddressTextBytes];  // read once at connection
  ClientPhase Phase;
  // Set when the connection is to be closed at once, without sending what waits.
  bool CloseNow;
  // It left while typed lines of its waited for the stack: they go on in order, then its
  // disconnected notice (named by Address).
  bool Departed;
  // When a lingering connection is closed whatever it sends.
  std::int64_t LingerUntil;
  ClientInput Input;
  ClientOutput Output;
  ClientGate Gate;
  ClientOverflow Overflow;
};

// A new state for an accepted connection, zero-filled. Null when memory is short.
ClientState* NewClientState(Socket connection);
// Gives back a state and everything it holds (not the connection).
void DeleteClientState(ClientState* client);

}  // namespace qc
