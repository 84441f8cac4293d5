// The notices the console pushes for the host (connected, disconnected, overflow, refusals),
// the list of those that wait while the host's stack takes none, and what handling one
// connection needs besides the connection (SessionContext).
#pragma once

#include <cstdint>

#include "net/limits.h"
#include "server/console_server.h"

namespace qc {

struct ClientState;
struct InboxBatch;
struct RefusalNotices;

// Notices for the host that found PendingMessages full, oldest first, in a ring (limits.h).
struct WaitingNotices {
  char Texts[kWaitingNotices][kNoticeBytes];
  int Base;
  int Count;
};

// What handling a connection needs besides the connection.
struct SessionContext {
  ConsoleServer* Server;
  std::int64_t Now;                 // the loop's clock (platform::MonotonicMillis) for this turn
  char* Scratch;                    // kTextBytes of working room (notices, listings)
  InboxBatch* Batch;                // the loop's, for handing out the inbox when ClientList changes
  ClientState* const* Connections;  // every connection of the console
  int ConnectionCount;
  RefusalNotices* Refusals;  // the console's refusal notices for the host
  WaitingNotices* Notices;   // the console's
};

// Pushes a notice for the host, or, while the stack takes none (StackHasRoom) or notices wait
// before it, adds it to the waiting ones. PushNoticeLocked: the caller holds StateLock.
void PushNotice(SessionContext& context, const char* notice);
void PushNoticeLocked(SessionContext& context, const char* notice);
// Pushes the waiting notices as far as the stack takes them.
void PushWaitingNotices(SessionContext& context);
// Whether a notice pushed now goes onto the stack: it is open (the host's last drain ended),
// has room, and no notice waits before it. When it has none, the host's next pop, or its look
// at an empty stack, wakes the loop (ConsoleServer::WantsSlot).
bool StackHasRoom(const SessionContext& context);

}  // namespace qc
