// The host's view of a console's queue.
#include "host/retrieval.h"

#include "common/fixed_text.h"
#include "common/locks.h"
#include "net/broadcast.h"

namespace qc {

void RewriteScript(const ConsoleServer& server, char* text) {
  ReplaceAll(text, kTextBytes, "[this].", server.ThisPrefix);
  ReplaceAll(text, kTextBytes, "[that](", "MakeGoid(");
}

const char* TakeNextMessage(std::uint32_t goid) {
  ConsoleServer* server = FindServer(goid);
  if (server == nullptr) return kEmptyText;
  // A quick look without the lock: a host polls every console each frame, mostly for nothing.
  if (server->PendingCount.load(std::memory_order_acquire) == 0) return kEmptyText;
  // Pop, queue the echo and rewrite in one hold of the state lock, so that each entry is popped
  // and echoed once. The returned text is still the console's one ResultText: a host that polls
  // one console from two threads gets each entry once, but may read the other's text.
  MutexHold hold(server->StateLock);
  if (!PopPending(*server, server->ResultText)) return kEmptyText;
  // The loop left input unread (or a notice waiting) for want of a slot: one is free now.
  if (server->WantsSlot.load(std::memory_order_relaxed) &&
      server->WantsSlot.exchange(false, std::memory_order_seq_cst)) {
    WakeLoop(*server);
  }
  SendToAllClients(*server, server->ResultText);
  RewriteScript(*server, server->ResultText);
  return server->ResultText;
}

}  // namespace qc
