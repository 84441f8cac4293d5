// Threads of a console server: the first one opens the port, and workers, started as clients
// arrive, accept and serve one developer at a time.
#pragma once

#include <cstddef>

#include "server/console_server.h"

namespace qc {

// The stack of every console thread: a session keeps its buffers elsewhere, so its deepest
// call (a listing row, a formatted notice, the socket calls) needs a few KiB of it.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;

// Starts the server's first thread (ListenerThread). False when it cannot be started; the
// server then serves nobody.
bool StartConsole(ConsoleServer& server);

// Thread function (argument: ConsoleServer*). Opens the listening socket under the state lock
// and stores it (-1 on failure, and the thread ends); then serves as the server's first worker.
void ListenerThread(void* server);

// Thread function (argument: ConsoleServer*). Accepts under the listen lock, makes sure that
// another worker waits for the next client (starting one while fewer than kWorkersPerServer
// exist), serves the client, and accepts again. An accept that failed for a passing reason is
// tried again after a pause; the worker ends only when the listening socket cannot accept.
void SessionWorker(void* server);

}  // namespace qc
