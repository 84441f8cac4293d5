// The console's threads: the listener, which becomes the first worker, and the workers' loop.
#include "net/workers.h"

#include <new>
#include <type_traits>

#include "common/diagnostic.h"
#include "common/locks.h"
#include "net/session.h"
#include "net/sockets.h"

namespace qc {
namespace {

constexpr int kFirstAcceptPauseMillis = 10;
constexpr int kLongestAcceptPauseMillis = 1000;

// Called by a worker that has just taken a client, holding the listen lock: when no other
// worker is idle, another one is started to wait for the next client. A start that fails is
// reported once per server; the server serves with the workers it has, and the next worker to
// take a client tries again.
void KeepOneWorkerWaiting(ConsoleServer& server) {
  if (server.IdleWorkers.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
  if (server.WorkerCount >= kWorkersPerServer) return;
  ++server.WorkerCount;
  server.IdleWorkers.fetch_add(1, std::memory_order_acq_rel);
  if (platform::StartThread(SessionWorker, &server, kWorkerStackBytes)) return;
  --server.WorkerCount;
  server.IdleWorkers.fetch_sub(1, std::memory_order_acq_rel);
  if (server.WorkerFailureReported) return;
  server.WorkerFailureReported = true;
  char message[128];
  FormatText(message, sizeof message,
             "QC_ERROR: worker thread could not be started (Port %d, GoID: %d)\n",
             int{server.Port}, static_cast<int>(server.GoID));
  WriteDiagnostic(message);
}

// Blocks in accept on the server's listening socket. An accept that failed for a passing
// reason (the process out of descriptors, a connection gone before it was taken) is tried
// again by the same worker, which keeps the listen lock, after a pause that doubles up to a
// second: a lasting shortage is neither spun on nor reported more than once a second.
Socket AcceptNext(ConsoleServer& server) {
  Socket client;
  for (int pause = kFirstAcceptPauseMillis;
       (client = AcceptClient(server.ListenSocket.load(std::memory_order_acquire))) ==
       platform::kAcceptAgain;
       pause = pause * 2 < kLongestAcceptPauseMillis ? pause * 2 : kLongestAcceptPauseMillis) {
    platform::SleepMillis(pause);
  }
  return client;
}

}  // namespace

bool StartConsole(ConsoleServer& server) {
  server.WorkerCount = 1;
  server.IdleWorkers.store(1, std::memory_order_release);
  return platform::StartThread(ListenerThread, &server, kWorkerStackBytes);
}

void ListenerThread(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  {
    MutexHold hold(server.StateLock);
    const Socket listening =
        server.ListenRefused
            ? -1
            : CreateListenSocket(static_cast<std::uint16_t>(server.Port), server.ListenAddress);
    server.ListenSocket.store(listening, std::memory_order_release);
    if (listening < 0) return;
  }
  SessionWorker(&server);
}

void SessionWorker(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  // The session's buffers (384 KiB) come from the OS in whole pages at the worker's first
  // client and stay for its life: a worker that never serves costs no memory for them, and
  // none of them is on the stack. A worker that cannot have them closes that client and tries
  // again at the next one, since a shortage of memory may pass.
  static_assert(std::is_trivially_destructible_v<SessionBuffers>,
                "the pages are given back without running a destructor");
  SessionBuffers* buffers = nullptr;
  for (;;) {
    LockMutex(server.ListenLock);
    const Socket client = AcceptNext(server);
    if (client < 0) {
      --server.WorkerCount;
      server.IdleWorkers.fetch_sub(1, std::memory_order_acq_rel);
      UnlockMutex(server.ListenLock);
      if (buffers != nullptr) platform::FreePages(buffers, sizeof(SessionBuffers));
      return;
    }
    KeepOneWorkerWaiting(server);
    UnlockMutex(server.ListenLock);
    if (buffers == nullptr) {
      if (void* block = platform::AllocatePages(sizeof(SessionBuffers))) {
        buffers = new (block) SessionBuffers;  // default-initialisation writes nothing
      }
    }
    if (buffers != nullptr) {
      ServeClient(server, client, *buffers);
    } else {
      (void)CloseClient(client);
    }
    server.IdleWorkers.fetch_add(1, std::memory_order_acq_rel);
  }
}

}  // namespace qc
