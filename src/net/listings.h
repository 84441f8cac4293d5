// The console's own answers to "[who]" (clients of this console) and "[spawns]" (all consoles).
#pragma once

#include "server/console_server.h"

namespace qc {

// Builds the client listing of server in buffer (kTextBytes) under StateLock, then sends it to
// client after the lock is released. Each row reads its client's address afresh.
void SendClientListing(ConsoleServer& server, Socket client, char* buffer);

// Builds the listing of every registered server in buffer (kTextBytes) and sends it to client,
// a client of server (whose send time limit applies). Takes no lock. A listing too long for the buffer goes out in parts, never cut.
void SendServerListing(const ConsoleServer& server, Socket client, char* buffer);

}  // namespace qc
