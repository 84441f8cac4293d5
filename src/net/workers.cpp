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

namespace {
constexpr int kFirstAcceptPauseMillis = 10;
constexpr int kLongestAcceptPauseMillis = 1000;
}  // namespace

void SessionWorker(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  // The session's working buffers (384 KiB) are allocated once and kept for the worker's whole
  // life. They are not on the stack: with the session inlined into this frame, an optimising
  // build adds the callees' own 64 KiB buffers to it, and a thread stack of the platform's
  // usual size would not hold them all. A worker that cannot have them never starts serving.
  auto* buffers = new (std::nothrow) SessionBuffers;
  if (buffers == nullptr) return;
  for (;;) {
    LockMutex(server.ListenLock);
    Socket client;
    // An accept that failed for a passing reason (the process out of descriptors, a connection
    // gone before it was taken) is tried again by the same worker, which keeps the listen lock:
    // were it to end instead, the next worker would meet the same condition at once, and a
    // moment without a free descriptor would end every worker of the server. The pause doubles
    // up to a second, so a lasting shortage is neither spun on nor reported more than once a
    // second.
    for (int pause = kFirstAcceptPauseMillis;
         (client = AcceptClient(server.ListenSocket.load(std::memory_order_acquire))) ==
         platform::kAcceptAgain;
         pause = pause * 2 < kLongestAcceptPauseMillis ? pause * 2 : kLongestAcceptPauseMillis) {
      platform::SleepMillis(pause);
    }
    UnlockMutex(server.ListenLock);
    if (client < 0) {
      delete buffers;
      return;
    }
    ServeClient(server, client, *buffers);
  }
}

}  // namespace qc
