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

namespace {

// The loop waits for room on the stack (lines it holds, a notice): a pop, or the look at an
// empty stack that ends a drain, may have made it. One atomic load when it does not wait.
void WakeForSlot(ConsoleServer& server) {
  if (server.WantsSlot.load(std::memory_order_seq_cst) &&
      server.WantsSlot.exchange(false, std::memory_order_seq_cst)) {
    WakeLoop(server);
  }
}

}  // namespace

const char* TakeNextMessage(std::uint32_t goid) {
  ConsoleServer* server = FindServer(goid);
  if (server == nullptr) return kEmptyText;
  // A quick look without the lock: a host polls every console each frame, mostly for nothing.
  // Finding the stack empty ends a drain: the loop may push again.
  if (server->PendingCount.load(std::memory_order_acquire) == 0) {
    if (!server->StackOpen.load(std::memory_order_acquire)) {
      server->StackOpen.store(true, std::memory_order_seq_cst);
      WakeForSlot(*server);
    }
    return kEmptyText;
  }
  // Pop, queue the echo and rewrite in one hold of the state lock, so that each entry is popped
  // and echoed once. The returned text is still the console's one ResultText: a host that polls
  // one console from two threads gets each entry once, but may read the other's text.
  MutexHold hold(server->StateLock);
  // A pop closes the stack to the loop until the host finds it empty (above): waking the loop
  // now would find nothing it may do.
  if (!PopPending(*server, server->ResultText)) {
    WakeForSlot(*server);
    return kEmptyText;
  }
  SendToAllClients(*server, server->ResultText);
  RewriteScript(*server, server->ResultText);
  return server->ResultText;
}

}  // namespace qc
