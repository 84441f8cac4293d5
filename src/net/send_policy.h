// When a client's output is judged, tried again or dropped: the send time limit, the retry of a
// socket the system did not report writable, and the soft and hard output limits. The loop
// does the sending; these decide.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/client.h"
#include "net/output_queue.h"
#include "server/console_server.h"

namespace qc {

// Whether a send to the client (with output waiting) is tried now: its socket was not found
// full at the last try, or it is time to try a full one again (half the send time limit after
// the last try, and when the limit is up), since Linux reports a socket writable only once half
// its buffer is free.
bool ShouldTrySend(const ConsoleServer& server, const ClientState& client, std::int64_t now);

// What one turn's try at sending came to.
struct SendTry {
  bool Tried;
  bool Late;  // the socket was full at the try before: a retry not reported writable
  std::size_t QueuedBefore;
  FlushResult Result;
  bool Progressed;  // the system accepted a byte
};

enum class SendVerdict { kKeep, kTimedOut };

// Keeps the client's send time limit after a turn with output waiting, and says whether it is
// up. The limit starts afresh whenever the system accepts output for the client, so a slow
// reader is never cut off for time; a late retry counts only when the system accepts
// kLateProgressBytes, since a client that reads nothing still gets a little accepted now and
// then as the system packs its buffers.
SendVerdict JudgeSend(const ConsoleServer& server, ClientState& client, std::int64_t now,
                      const SendTry& attempt);

// Judges the client's unsent output after a turn's queuing: past the hard limit it is marked to
// be dropped at once, past the soft one (SendBufferBytes) for longer than the send time limit
// as well.
void JudgeOutput(const ConsoleServer& server, ClientState& client, std::int64_t now);

// The nearer of two times on the loop's clock, where 0 means none.
std::int64_t Nearest(std::int64_t a, std::int64_t b);

// The nearest time at which the policy has something to decide for the client; 0 for none.
std::int64_t NextSendDeadline(const ConsoleServer& server, const ClientState& client);

}  // namespace qc
