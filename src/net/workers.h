// Threads of a console server: the launcher, the listener that opens the port and starts the
// pool, and the workers that accept and serve one developer at a time.
#pragma once

#include <cstddef>

namespace qc {

struct ConsoleServer;

constexpr int kWorkersPerServer = 100;
// The stack size every thread is created with. On Windows it is the initial commit of the
// default reservation; the POSIX layer raises it to a whole stack that holds a session.
constexpr std::size_t kThreadStackBytes = 4096;

// Starts a detached thread running function(argument). False when the start record cannot be
// allocated or the thread cannot be created; nothing runs then and the record is freed.
bool StartThread(void (*function)(void*), void* argument);

// Thread function (argument: ConsoleServer*). Opens the listening socket under the state lock
// and stores it (-1 on failure, and the thread ends); then starts the workers and parks.
void ListenerThread(void* server);

// Thread function (argument: ConsoleServer*). Accepts under the listen lock, serves the client,
// and accepts again. An accept that failed for a passing reason is tried again after a pause;
// the worker ends for good only when the listening socket cannot accept at all.
void SessionWorker(void* server);

}  // namespace qc
