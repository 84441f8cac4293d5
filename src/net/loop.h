// The console's loop: one thread per console owns its listening socket and every connection.
// It waits for readiness of them all at once, accepts, receives, hands input to the protocol,
// sends each client's queued output without blocking, and runs the time-outs, so that neither
// the host nor any developer ever waits on another developer's connection.
#pragma once

#include <cstddef>

#include "net/limits.h"
#include "server/console_server.h"

namespace qc {

// Makes the console's loop record and its waker, and starts its thread (ConsoleThread). False
// when any of them cannot be had; the console then serves nobody, and nothing is started later.
bool StartConsole(ConsoleServer& server);

// Thread function (argument: ConsoleServer*). Opens the listening socket under the state lock
// and stores it (-1 on failure, and the thread ends); then runs the loop for good.
void ConsoleThread(void* server);

}  // namespace qc
