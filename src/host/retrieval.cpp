// The host's view of a console's queue.
#include "host/retrieval.h"

#include "common/fixed_text.h"
#include "common/locks.h"
#include "host/broadcast.h"
#include "net/session.h"

namespace qc {

void RewriteScript(const ConsoleServer& server, char* text) {
  ReplaceAll(text, kTextBytes, "[this].", server.ThisPrefix);
  ReplaceAll(text, kTextBytes, "[that](", "MakeGoid(");
}

const char* TakeNextMessage(std::uint32_t goid) {
  ConsoleServer* server = FindServer(goid);
  if (server == nullptr) return kEmptyText;
  // Only this call removes entries, and the host makes it from one thread per server, so a
  // count seen above zero stays above zero until the pop below.
  if (server->PendingCount.load(std::memory_order_acquire) == 0) return kEmptyText;
  {
    MutexHold hold(server->StateLock);
    PopPending(*server, server->ResultText);
    SendToAllClients(*server, server->ResultText);
  }
  RewriteScript(*server, server->ResultText);
  return server->ResultText;
}

}  // namespace qc
