// Notices for the host: pushed while the stack takes them, waiting in order otherwise.
#include "net/notices.h"

#include "common/fixed_text.h"
#include "common/locks.h"

namespace qc {

bool StackHasRoom(const SessionContext& context) {
  const ConsoleServer& server = *context.Server;
  return context.Notices->Count == 0 && server.StackOpen.load(std::memory_order_acquire) &&
         server.PendingCount.load(std::memory_order_acquire) < kMaxPending;
}

void PushNoticeLocked(SessionContext& context, const char* notice) {
  WaitingNotices& waiting = *context.Notices;
  if (StackHasRoom(context)) {
    PushPending(*context.Server, notice);
    return;
  }
  int slot = (waiting.Base + waiting.Count) % kWaitingNotices;
  if (waiting.Count == kWaitingNotices) {
    slot = waiting.Base;  // a host that stopped polling: the oldest gives way
    waiting.Base = (waiting.Base + 1) % kWaitingNotices;
  } else {
    ++waiting.Count;
  }
  CopyText(waiting.Texts[slot], kNoticeBytes, notice);
}

void PushNotice(SessionContext& context, const char* notice) {
  MutexHold hold(context.Server->StateLock);
  PushNoticeLocked(context, notice);
}

void PushWaitingNotices(SessionContext& context) {
  WaitingNotices& waiting = *context.Notices;
  if (waiting.Count == 0) return;
  ConsoleServer& server = *context.Server;
  MutexHold hold(server.StateLock);
  while (waiting.Count > 0 && server.StackOpen.load(std::memory_order_relaxed) &&
         server.PendingCount.load(std::memory_order_relaxed) < kMaxPending) {
    PushPending(server, waiting.Texts[waiting.Base]);
    waiting.Base = (waiting.Base + 1) % kWaitingNotices;
    --waiting.Count;
  }
}

}  // namespace qc
