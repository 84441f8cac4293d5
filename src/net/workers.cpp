// The thread launcher, the listener and the workers' outer loop.
#include "net/workers.h"

#include <new>

#include "common/locks.h"
#include "host/console_server.h"
#include "net/session.h"
#include "net/sockets.h"
#include "platform/platform.h"

namespace qc {

namespace platform {

void ThreadEntry(ThreadStart* record) {
  record->function(record->argument);
  // Reached only when the function returns: a parked listener keeps its record for good.
  delete record;
}

}  // namespace platform

bool StartThread(void (*function)(void*), void* argument) {
  auto* record = new (std::nothrow) platform::ThreadStart{function, argument};
  if (record == nullptr) return false;
  if (!platform::StartThread(record, kThreadStackBytes)) {
    delete record;
    return false;
  }
  return true;
}

void ListenerThread(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  {
    MutexHold hold(server.StateLock);
    const Socket listening = CreateListenSocket(static_cast<std::uint16_t>(server.Port));
    server.ListenSocket.store(listening, std::memory_order_release);
    if (listening < 0) return;
  }
  for (int i = 0; i < kWorkersPerServer; ++i) {
    (void)StartThread(SessionWorker, &server);
  }
  platform::SuspendSelf();
}

void SessionWorker(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  // The session's working buffers live here, on the worker's own stack, for its whole life.
  SessionBuffers buffers;
  for (;;) {
    LockMutex(server.ListenLock);
    const Socket client = AcceptClient(server.ListenSocket.load(std::memory_order_acquire));
    UnlockMutex(server.ListenLock);
    if (client < 0) return;
    ServeClient(server, client, buffers);
  }
}

}  // namespace qc
