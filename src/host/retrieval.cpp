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
  {
    MutexHold hold(server->StateLock);
    if (!PopPending(*server, server->ResultText)) return kEmptyText;
  }
  // ResultText is written by host calls only, which the host makes one at a time per console.
  SendToAllClients(*server, server->ResultText);
  RewriteScript(*server, server->ResultText);
  return server->ResultText;
}

}  // namespace qc
