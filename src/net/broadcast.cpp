// Broadcast formatting, the host's side of the inbox, and the loop's handing out of it.
#include "net/broadcast.h"

#include <cstring>

#include "common/locks.h"
#include "net/limits.h"
#include "common/timestamp.h"

namespace qc {
namespace {

constexpr const char kMessageTag[] = " QC_MSG: ";
// A line's head (at most kBroadcastHeadBytes) is never shorter than a notice's head and tail.
static_assert(kStackEchoBytes >= std::uint64_t{kMaxPending} * (kTextBytes + kBroadcastHeadBytes),
              "the hard limit holds the echo of a whole stack, every line with its head");
constexpr int kFirstInboxEntries = 16;

bool ReserveInbox(ConsoleServer& server) {
  if (server.InboxCount < server.InboxCapacity) return true;
  const int capacity = server.InboxCapacity == 0 ? kFirstInboxEntries : server.InboxCapacity * 2;
  void* grown = platform::ResizeMemory(server.Inbox,
                                       static_cast<std::size_t>(capacity) * sizeof(OutputBlock*));
  if (grown == nullptr) return false;
  server.Inbox = static_cast<OutputBlock**>(grown);
  server.InboxCapacity = capacity;
  return true;
}

// Marks client to be dropped for why, unless it already is.
void MarkDrop(ClientState& client, ClientDrop why) {
  if (client.Output.Drop == ClientDrop::kNone) client.Output.Drop = why;
}

bool HoldsIac(const OutputBlock& block) {
  return std::memchr(block.Bytes, 0xff, block.Length) != nullptr;
}

// block with every 0xFF doubled, for a client that speaks telnet. Null when memory is short.
OutputBlock* EscapedBlock(const OutputBlock& block) {
  OutputBlock* escaped = NewOutputBlock(EscapedLength(block.Bytes, block.Length));
  if (escaped != nullptr) EscapeIac(block.Bytes, block.Length, escaped->Bytes);
  return escaped;
}

// Queues block (which may be shared) for client, escaped when the client speaks telnet and
// the block holds a 0xFF. escaped caches the escaped copy across clients; the caller releases
// it.
void QueueFor(ClientState& client, OutputBlock* block, OutputBlock*& escaped, bool holdsIac) {
  OutputBlock* chosen = block;
  if (client.Input.Telnet.SpeaksTelnet && holdsIac) {
    if (escaped == nullptr) {
      escaped = EscapedBlock(*block);
      if (escaped != nullptr) escaped->References = 1;  // the caller's, released after
    }
    chosen = escaped;
  }
  // The loop judges the queue's size against the limits after each turn's queuing.
  if (chosen == nullptr || !QueueBlock(client.Output.Queue, chosen)) {
    MarkDrop(client, ClientDrop::kNoMemory);
  }
}

// Queues a block made for this one client (null when it could not be made), escaped as the
// client needs; the block is freed once sent.
void QueueOwnBlock(ClientState& client, OutputBlock* block) {
  if (block == nullptr) {
    MarkDrop(client, ClientDrop::kNoMemory);
    return;
  }
  block->References = 1;  // held here until queued
  OutputBlock* escaped = nullptr;
  QueueFor(client, block, escaped, HoldsIac(*block));
  ReleaseBlock(block);
  if (escaped != nullptr) ReleaseBlock(escaped);
}

}  // namespace

bool IsSystemNotice(const char* text) {
  return StartsWith(text, "QC_OK:") || StartsWith(text, "QC_ERROR:") ||
         StartsWith(text, "QC_REPORT:");
}

std::size_t WriteBroadcastHead(const char* text, char* head) {
  WriteTimestamp(head);
  if (IsSystemNotice(text)) {
    head[kTimestampChars] = ' ';
    return kTimestampChars + 1;
  }
  std::memcpy(head + kTimestampChars, kMessageTag, sizeof kMessageTag - 1);
  return kTimestampChars + sizeof kMessageTag - 1;
}

const char* BroadcastTail(const char* text) { return IsSystemNotice(text) ? "\r\n" : ""; }

std::size_t FormatBroadcastLine(const char* text, std::size_t textLength, char* line,
                                std::size_t capacity) {
  char head[kBroadcastHeadBytes];
  const std::size_t headLength = WriteBroadcastHead(text, head);
  const char* tail = BroadcastTail(text);
  const std::size_t tailLength = std::strlen(tail);
  const std::size_t lineLength = headLength + textLength + tailLength;
  if (lineLength >= capacity) return 0;
  std::memcpy(line, head, headLength);
  std::memcpy(line + headLength, text, textLength);
  std::memcpy(line + headLength + textLength, tail, tailLength);
  line[lineLength] = '\0';
  return lineLength;
}

OutputBlock* MakeBroadcastBlock(const char* text, std::size_t textLength) {
  char head[kBroadcastHeadBytes];
  const std::size_t headLength = WriteBroadcastHead(text, head);
  const char* tail = BroadcastTail(text);
  const std::size_t tailLength = std::strlen(tail);
  OutputBlock* block = NewOutputBlock(headLength + textLength + tailLength);
  if (block == nullptr) return nullptr;
  std::memcpy(block->Bytes, head, headLength);
  std::memcpy(block->Bytes + headLength, text, textLength);
  std::memcpy(block->Bytes + headLength + textLength, tail, tailLength);
  return block;
}

void SendToAllClients(ConsoleServer& server, const char* text) {
  if (text[0] == '\0') return;
  // A host broadcasts every frame, often to nobody: that costs no allocation and no lock.
  if (server.ClientCount.load(std::memory_order_acquire) == 0) return;
  // The line is built before the lock is taken, so that the loop never waits on a copy.
  OutputBlock* block = MakeBroadcastBlock(text, std::strlen(text));
  bool wake = false;
  {
    MutexHold hold(server.StateLock);
    if (server.ClientCount.load(std::memory_order_relaxed) > 0) {
      wake = true;
      if (block == nullptr) {
        server.InboxLost = true;
      } else if (server.InboxBytes.load(std::memory_order_relaxed) + block->Length >
                 HardOutputLimit(server)) {
        // No listed client has sent any of the inbox yet: each would pass its hard limit.
        server.InboxOverrun = true;
      } else if (!ReserveInbox(server)) {
        server.InboxLost = true;
      } else {
        ++block->References;  // the inbox's
        server.Inbox[server.InboxCount++] = block;
        server.InboxBytes.store(server.InboxBytes.load(std::memory_order_relaxed) + block->Length,
                                std::memory_order_relaxed);
        block = nullptr;
      }
    }
  }
  if (block != nullptr) FreeBlock(block);
  if (wake) WakeLoop(server);
}

void WakeLoop(ConsoleServer& server) {
  if (server.Waker != nullptr && !server.WakePending.exchange(true, std::memory_order_acq_rel) &&
      !platform::SignalWaker(server.Waker)) {
    // The loop never heard of it, so the next call must signal again rather than take it as
    // pending; until then it waits for the loop's next turn.
    server.WakePending.store(false, std::memory_order_release);
  }
}

void TakeInbox(ConsoleServer& server, InboxBatch& batch) {
  OutputBlock** blocks = batch.Blocks;
  const int capacity = batch.Capacity;
  batch.Blocks = server.Inbox;
  batch.Count = server.InboxCount;
  batch.Capacity = server.InboxCapacity;
  batch.Overrun = server.InboxOverrun;
  batch.Lost = server.InboxLost;
  server.Inbox = blocks;
  server.InboxCapacity = capacity;
  server.InboxCount = 0;
  server.InboxBytes.store(0, std::memory_order_relaxed);
  server.InboxOverrun = false;
  server.InboxLost = false;
}

void HandOutInbox(ConsoleServer& server, InboxBatch& batch) {
  {
    MutexHold hold(server.StateLock);
    if (server.InboxCount == 0 && !server.InboxOverrun && !server.InboxLost) return;
    TakeInbox(server, batch);
  }
  DistributeInbox(server, batch);
}

void DistributeInbox(ConsoleServer& server, InboxBatch& batch) {
  DistributeBatch(batch, server.ClientStates, server.ClientCount.load(std::memory_order_relaxed));
}

void DistributeBatch(InboxBatch& batch, ClientState* const* clients, int count) {
  for (int b = 0; b < batch.Count; ++b) {
    OutputBlock* block = batch.Blocks[b];
    OutputBlock* escaped = nullptr;
    const bool holdsIac = HoldsIac(*block);
    for (int i = 0; i < count; ++i) {
      ClientState& client = *clients[i];
      if (client.Output.Drop != ClientDrop::kNone) continue;
      QueueFor(client, block, escaped, holdsIac);
    }
    ReleaseBlock(block);  // the inbox's reference
    if (escaped != nullptr) ReleaseBlock(escaped);
  }
  for (int i = 0; i < count; ++i) {
    if (batch.Overrun) MarkDrop(*clients[i], ClientDrop::kBufferFull);
    if (batch.Lost) MarkDrop(*clients[i], ClientDrop::kNoMemory);
  }
  batch.Count = 0;
  batch.Overrun = false;
  batch.Lost = false;
}

void QueueRawToClient(ClientState& client, const char* bytes, std::size_t length) {
  if (!QueueBytes(client.Output.Queue, bytes, length)) MarkDrop(client, ClientDrop::kNoMemory);
}

void QueueToClient(ClientState& client, const char* bytes, std::size_t length) {
  if (length > 0) QueueOwnBlock(client, CopyToBlock(bytes, length));
}

void QueueNotice(ClientState& client, const char* notice) {
  QueueOwnBlock(client, MakeBroadcastBlock(notice, std::strlen(notice)));
}

}  // namespace qc
