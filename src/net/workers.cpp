// The thread launcher, the listener and the workers' outer loop.
#include "net/workers.h"

#include <new>
#include <type_traits>

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
  // The session's working buffers (384 KiB) are allocated once, when the worker accepts its
  // first client, and kept for the rest of its life. They are not on the stack: with the
  // session inlined into this frame, an optimising build adds the callees' own 64 KiB buffers
  // to it, and a thread stack of the platform's usual size would not hold them all.
  // They come from the OS in whole pages, which stay out of memory until a session writes
  // them (the heap would write its bookkeeping into the first page of a block this large).
  // Taking them at the first client, not at start-up, keeps a spawn to thread creation alone,
  // and the idle workers of a server out of 37.5 MiB of address space, which a 32-bit host
  // runs short of. A worker that cannot have them closes that client and tries again at its
  // next one: a shortage of memory may pass, and a worker that ended would be gone for good.
  static_assert(std::is_trivially_destructible_v<SessionBuffers>,
                "the pages are given back without running a destructor");
  SessionBuffers* buffers = nullptr;
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
    if (client >= 0 && buffers == nullptr) {
      void* block = platform::AllocatePages(sizeof(SessionBuffers));
      if (block == nullptr) {
        (void)CloseClient(client);
        continue;
      }
      buffers = new (block) SessionBuffers;  // default-initialisation writes nothing
    }
    if (client < 0) {
      if (buffers != nullptr) platform::FreePages(buffers, sizeof(SessionBuffers));
      return;
    }
    ServeClient(server, client, *buffers);
  }
}

}  // namespace qc
