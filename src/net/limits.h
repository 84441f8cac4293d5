// What one connection may cost the game and the other developers, in one place: each limit,
// its default, and why. The console's loop, the protocol and the password gate judge every
// connection by these alone.
//
// The rule: every byte the console holds is charged to one connection, or is bounded per
// console by a constant, and what a connection sends or fails to read costs that connection
// alone. No host call ever waits for the console.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/fixed_text.h"
#include "common/timestamp.h"
#include "server/console_server.h"

namespace qc {

// How many connections one console holds at once; more wait in the listening socket's backlog.
// Without a password every connection is a listed developer (or one leaving). With one, up to
// 20 more may wait at the prompt, and a few more are being turned away, so that developers who
// know the password are never kept out by those who do not.
constexpr int kMostWaitingAtPrompt = 20;
constexpr int kMostBeingTurnedAway = 8;
constexpr int kMaxConnections = kMaxClients + kMostWaitingAtPrompt + kMostBeingTurnedAway;
// Developers who left with typed lines the host's stack had no room for yet: their lines go
// on in order as room comes, then their disconnected notice. They hold no socket and no place
// among the connections; past this many, the lines of one more who leaves are pushed at once,
// and the stack's oldest entries give way to them, as on any full stack.
constexpr int kMostDeparted = kMaxConnections;
// Connections taken per turn of the loop, so that a crowd arriving at once does not keep the
// developers already attached waiting.
constexpr int kAcceptsPerTurn = 16;
// A shortage of descriptors, buffers or memory pauses accepting, doubling up to a second, so a
// lasting shortage is neither spun on nor reported more than once a second.
constexpr int kFirstAcceptPauseMillis = 10;
constexpr int kLongestAcceptPauseMillis = 1000;

// Input. One piece of at most this much is read from a client per turn, so that the line rules
// see pieces as they always did and no client holds the loop for long. A connection's line
// holds at most an unfinished line and one piece; it is read from only while one more fits.
constexpr int kReceiveBytes = static_cast<int>(kTextBytes) - 1;
constexpr std::size_t kMostLineBytes = 2 * kTextBytes;
// An idle connection keeps little: a line buffer that grew past this for a long line, and an
// emptied output queue whose array of entries grew past this many, are given back.
constexpr std::size_t kKeptLineBytes = 4096;
constexpr int kKeptQueueEntries = 64;
// Of the lines one piece brings, at most this many console commands are answered per turn; the
// rest wait for the next turn, so one paste of "[who]" lines never delays another developer.
constexpr int kCommandsPerTurn = 16;
// While a client has more unsent output than this, nothing more is read from it and none of
// its commands is answered: a flood of commands throttles itself through TCP, and what it sent
// waits in the system's buffers instead of the game's memory.
constexpr std::size_t kOutputHighWater = 64 * 1024;

// Pacing. Typed lines go onto the host's stack only while the echo still owed to the slowest
// listed developer (its unsent output, the inbox and the stack's own lines) is below this
// share of SendBufferBytes. A paste then moves at the pace of the developers reading it, and
// the echo a reader is owed never comes near the soft limit, so nobody is dropped for what
// another typed. A developer who takes nothing for SendTimeoutVal is dropped and stops holding
// the others back.
constexpr std::size_t kPaceDivisor = 4;
inline std::size_t PaceMark(const ConsoleServer& server) {
  return server.SendBufferBytes / kPaceDivisor;
}

// Output. A client's unsent output may pass SendBufferBytes (the profile's SendBufferVal, a
// soft limit) for at most SendTimeoutMillis, and never this many times it (the hard limit): a
// paste taken in one frame passes a reader by, a client that does not read is dropped. The
// shared inbox holds at most the hard limit too. The hard limit also holds the echo of a whole
// stack (every slot a line of kTextBytes, with its stamp), so that the host taking a full stack
// in one frame never passes a reader's limit, however the stack came to be full.
constexpr std::uint64_t kHardLimitFactor = 4;
constexpr std::uint64_t kStackEchoBytes =
    std::uint64_t{kMaxPending} * (kTextBytes + kTimestampChars + 16);
inline std::uint64_t HardOutputLimit(const ConsoleServer& server) {
  return kHardLimitFactor * std::uint64_t{server.SendBufferBytes} + kStackEchoBytes;
}
// SendBufferVal in KiB (default kDefaultSendBufferKiB, 1 MiB): the least (it must hold the
// longest line) and the most (1 GiB, so that four times it is still counted right by the
// 32-bit build). A client may take none of its output for SendTimeoutVal (default
// kDefaultSendTimeoutMillis, 2 s) before it is dropped.
constexpr int kLeastSendBufferKiB = 128;
constexpr int kMostSendBufferKiB = 1048576;
// A socket is reported writable only once a good part of its buffer is free (half, on Linux),
// so a blocked socket is also tried at half the send time limit and when it is up. Such a try
// shows that the client took its output only when the system accepts at least this much: a
// client that reads nothing still gets a little accepted now and then, as the system packs
// what waits in its buffers more tightly.
constexpr std::size_t kLateProgressBytes = 64 * 1024;
// The send buffer of the stage a flush gathers short blocks in.
constexpr std::size_t kStageBytes = 16 * 1024;
// The system's send buffer of each connection: without a size of ours the system would keep up
// to megabytes for a client that reads nothing before any limit of ours counts them.
constexpr int kSocketSendBufferBytes = 64 * 1024;
// TCP keepalive on each connection: a peer that vanished without a word (a laptop asleep, a
// cable pulled) is found after kKeepAliveIdleSeconds of silence and kKeepAliveProbes
// unanswered probes kKeepAliveIntervalSeconds apart, about two minutes, and leaves as a reset.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

// The password prompt. A connection may wait at it this long; at most kMostWaitingAtPrompt
// wait at once (above), kMostWaitingPerAddress of them from one address. When every place is
// taken, a newcomer from an address with fewer places takes the place of the oldest connection
// of the address with the most, so a few addresses can never keep a developer out.
constexpr std::int64_t kPromptTimeoutMillis = 20000;
constexpr int kMostWaitingPerAddress = 3;
// The password gate, one for the whole process: a wrong password is answered no sooner than
// kRefusalPauseMillis after it was given; answers to one address come at most once in that
// time, and to all addresses at most kMostRefusalsPerSecond a second, addresses taking turns.
// A console looks again at an attempt waiting for another console's answer this often. The
// host hears of refusals at most once in kRefusalNoticeMillis.
constexpr std::int64_t kRefusalPauseMillis = 1000;
constexpr int kMostRefusalsPerSecond = 5;
constexpr std::int64_t kGateRecheckMillis = 50;
constexpr std::int64_t kRefusalNoticeMillis = 1000;
// The addresses answered most recently, whose turn comes last; an address not among them has
// waited longest.
constexpr int kRememberedTurns = 64;

// The console's thread: its stack (the loop keeps its buffers elsewhere, so its deepest call, a
// listing row, a formatted notice or a socket call, needs a few KiB of it), and the pause before a
// wait for readiness that failed is tried again, so that it is never spun on.
constexpr std::size_t kConsoleStackBytes = 256 * 1024;
constexpr int kFailedWaitPauseMillis = 50;

// Time-outs. A TimeoutVal below this reads as it: a time-out of 0 would notify without pause.
constexpr int kLeastTimeoutMillis = 100;

// Overflow notices. Up to this many overflows a second from one client each get their own
// notice; beyond that they are counted, and one notice a second at most reports the count.
constexpr int kExactOverflowsPerSecond = 5;
constexpr std::int64_t kOverflowFoldMillis = 1000;

// Notices for the host that find PendingMessages full wait, in order, in a list of the
// console's: a connected and a disconnected notice and an overflow report per connection. On
// a console whose host has stopped polling, the oldest gives way, as on the stack.
constexpr int kWaitingNotices = 3 * kMaxConnections;
constexpr std::size_t kNoticeBytes = 128;

// Closing. A connection's sending side is shut down first, and what the client still sends is
// read and discarded for at most this long, so that its last words (the farewell, a refusal)
// arrive rather than be cut off by a reset.
constexpr std::int64_t kLingerMillis = 1000;

// The diagnostic stream's own bound (the lines waiting for a stream that takes none) is in
// common/diagnostic.h, below the console.

}  // namespace qc
