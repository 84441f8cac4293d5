// One connection's state, as the console's loop keeps it: where it stands in the protocol, the
// line being typed, the telnet filter's state, and the output waiting for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/limits.h"
#include "net/output_queue.h"
#include "net/sockets.h"
#include "net/telnet.h"
#include "server/console_server.h"

namespace qc {

// What one client sent that is not handled yet: complete lines waiting for their turn (the
// first Ready bytes, up to a line feed), then the line being typed. Text (Capacity bytes)
// grows as needed, to at most twice kTextBytes (an unfinished line and one piece), and is
// NUL-terminated at Length; null while nothing was ever added.
struct LineAssembler {
  char* Text;
  std::size_t Length;
  std::size_t Capacity;
  std::size_t Ready;
};

struct PieceOutcome {
  bool Overflowed;  // the piece did not fit beside the line and was dropped
  bool Complete;    // the piece held a line feed: the whole accumulator is the line
  bool NoMemory;    // the line could not grow: the piece was dropped
};

// Starts a new, empty line; a buffer grown large for a long line is given back.
void ResetLine(LineAssembler& line);
// Gives back the line's buffer.
void ReleaseLine(LineAssembler& line);

// Adds one received piece (pieceLength bytes; only the text before its first zero byte counts)
// to a line with no ready lines. The line being typed is what follows the ready lines and the
// piece up to its first line feed (all of it, without one): when that stays below kTextBytes
// characters the piece is appended; otherwise the piece is dropped and the line being typed is
// cut to at most kTextBytes-2 characters and a line feed appended. Complete lines already
// there or in the piece never count. When the piece holds a line feed, everything up to the
// last line feed becomes ready.
PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength);
// Removes the first count bytes (ready lines being handled) from the front of the line.
void DropFront(LineAssembler& line, std::size_t count);

// Where a connection stands.
enum class ClientPhase : std::uint8_t {
  kPassword,       // asked for the password; its first line is the attempt
  kRefusing,       // gave a wrong password; answered when its turn comes
  kAdmitted,       // gave the right password; listed once nothing holds it back
  kListed,         // in ClientList: its lines go to the host
  kClosing,        // its last output goes out, then its sending side is shut down
  kLingering,      // what it still sends is read and dropped until it closes, or for a while
  kDeparted,       // gone, its socket closed; typed lines of its still wait for the stack
};

// Why the loop must drop a client at its next turn.
enum class ClientDrop : std::uint8_t {
  kNone,
  kBufferFull,  // its unsent output passed the hard limit, or the soft one for too long
  kNoMemory,    // output for it could not be queued
};

struct ClientState {
  Socket Connection;
  ClientDrop Drop;
  char Address[kAddressTextBytes];  // read once at connection
  ClientPhase Phase;
  TelnetState Telnet;
  LineAssembler Line;
  bool LineOverflowed;  // while a password attempt is collected
  OutputQueue Output;
  // The loop's clock (platform::MonotonicMillis) at which the receive time-out fires next
  // (0: none), the password prompt times out, a wrong password was given, and output began to
  // wait without progress (0: nothing waits).
  std::int64_t ReceiveDeadline;
  std::int64_t PromptDeadline;
  std::int64_t AttemptAt;
  std::int64_t StalledSince;
  // The password gate's number for the client's attempt: the order of every attempt given to
  // any console of the process (net/password_gate.h).
  std::uint64_t AttemptTicket;
  // Set when the connection is to be closed at once, without sending what waits.
  bool CloseNow;
  // The socket took no more at the last try (at TriedAt); the next try waits until it is
  // writable, or for half the send time limit.
  bool Blocked;
  std::int64_t TriedAt;
  // Since when its unsent output is above SendBufferBytes (0: it is not).
  std::int64_t OverSoftSince;
  // When a lingering connection is closed whatever it sends.
  std::int64_t LingerUntil;
  // Console commands it may still have answered in this turn of the loop.
  int CommandsLeft;
  // The first this many bytes of its ready lines wait for the host's stack (no room, or the
  // echo owed to the readers is at the pace mark); its commands are answered meanwhile, and it
  // is still read from.
  std::size_t WaitingForStack;
  // It left while typed lines of its waited for the stack: they go on in order, then its
  // disconnected notice (named by Address).
  bool Departed;
  // When it came to the password prompt: the oldest of an address gives its place up first.
  std::int64_t PromptSince;
  // Overflows: the times of the latest exact notices (a ring), the overflows counted since the
  // last notice, and when the last notice of any kind went out.
  std::int64_t ExactOverflowAt[kExactOverflowsPerSecond];
  int NextExactOverflow;
  int FoldedOverflows;
  std::int64_t OverflowNoticeAt;
};

// A new state for an accepted connection, zero-filled. Null when memory is short.
ClientState* NewClientState(Socket connection);
// Gives back a state and everything it holds (not the connection).
void DeleteClientState(ClientState* client);

}  // namespace qc
