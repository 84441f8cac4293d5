// The console's own answers to "[who]" (clients of this console) and "[spawns]" (all consoles).
#pragma once

#include "net/client.h"
#include "server/console_server.h"

namespace qc {

// Queues the client listing of server for client, built in buffer (kTextBytes). Each row
// reads its client's address afresh.
void SendClientListing(ConsoleServer& server, ClientState& client, char* buffer);

// Queues the listing of every registered server for client, built in buffer (kTextBytes).
// Takes no lock. A listing too long for the buffer is queued in parts, never cut.
void SendServerListing(ClientState& client, char* buffer);

}  // namespace qc
