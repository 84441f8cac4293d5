// Output queues: blocks shared by reference, sent in order, small ones gathered per send.
#include "net/output_queue.h"

#include <cstring>
#include <new>

#include "net/limits.h"

namespace qc {
namespace {

constexpr int kFirstEntries = 8;
// Blocks shorter than this are gathered with the ones after them into one send.
constexpr std::size_t kGatherBelow = 4096;

bool Reserve(OutputQueue& queue) {
  if (queue.Head + queue.Count < queue.Capacity) return true;
  if (queue.Head > 0) {  // room at the front: move the live entries down, and the end is free
    std::memmove(queue.Entries, queue.Entries + queue.Head,
                 static_cast<std::size_t>(queue.Count) * sizeof(QueuedBlock));
    queue.Head = 0;
    return true;
  }
  const int capacity = queue.Capacity == 0 ? kFirstEntries : queue.Capacity * 2;
  void* grown = platform::ResizeMemory(queue.Entries,
                                       static_cast<std::size_t>(capacity) * sizeof(QueuedBlock));
  if (grown == nullptr) return false;
  queue.Entries = static_cast<QueuedBlock*>(grown);
  queue.Capacity = capacity;
  return true;
}

// Takes count bytes off the front of the queue.
void Consume(OutputQueue& queue, std::size_t count) {
  queue.Bytes -= count;
  while (count > 0) {
    QueuedBlock& front = queue.Entries[queue.Head];
    const std::size_t left = front.Block->Length - front.Sent;
    if (count < left) {
      front.Sent += count;
      return;
    }
    count -= left;
    ReleaseBlock(front.Block);
    ++queue.Head;
    --queue.Count;
  }
}

// Gives back the entries' array of an emptied queue that grew large.
void CompactIfEmpty(OutputQueue& queue) {
  if (queue.Count > 0) return;
  queue.Head = 0;
  if (queue.Capacity > kKeptQueueEntries) {
    platform::FreeMemory(queue.Entries);
    queue.Entries = nullptr;
    queue.Capacity = 0;
  }
}

}  // namespace

OutputBlock* NewOutputBlock(std::size_t length) {
  void* memory = platform::AllocateMemory(offsetof(OutputBlock, Bytes) + (length > 0 ? length : 1));
  if (memory == nullptr) return nullptr;
  auto* block = static_cast<OutputBlock*>(memory);
  block->References = 0;
  block->Length = length;
  return block;
}

OutputBlock* CopyToBlock(const char* bytes, std::size_t length) {
  OutputBlock* block = NewOutputBlock(length);
  if (block != nullptr) std::memcpy(block->Bytes, bytes, length);
  return block;
}

void ReleaseBlock(OutputBlock* block) {
  if (--block->References <= 0) FreeBlock(block);
}

void FreeBlock(OutputBlock* block) { platform::FreeMemory(block); }

bool QueueBlock(OutputQueue& queue, OutputBlock* block) {
  if (block->Length == 0) return true;  // nothing to send; no reference taken
  if (!Reserve(queue)) return false;
  ++block->References;
  queue.Entries[queue.Head + queue.Count] = QueuedBlock{block, 0};
  ++queue.Count;
  queue.Bytes += block->Length;
  return true;
}

bool QueueBytes(OutputQueue& queue, const char* bytes, std::size_t length) {
  if (length == 0) return true;
  OutputBlock* block = CopyToBlock(bytes, length);
  if (block == nullptr) return false;
  if (QueueBlock(queue, block)) return true;
  FreeBlock(block);
  return false;
}

FlushResult FlushQueue(OutputQueue& queue, platform::Socket socket,
                       int (*send)(platform::Socket, const char*, int), char* stage,
                       std::size_t stageBytes, bool& progressed) {
  progressed = false;
  while (queue.Count > 0) {
    const QueuedBlock& front = queue.Entries[queue.Head];
    const char* bytes = front.Block->Bytes + front.Sent;
    std::size_t length = front.Block->Length - front.Sent;
    if (length < kGatherBelow && queue.Count > 1) {
      // Gather the short blocks that follow, whole, into one send.
      std::memcpy(stage, bytes, length);
      for (int i = queue.Head + 1; i < queue.Head + queue.Count; ++i) {
        const OutputBlock* next = queue.Entries[i].Block;
        if (next->Length >= kGatherBelow || length + next->Length > stageBytes) break;
        std::memcpy(stage + length, next->Bytes, next->Length);
        length += next->Length;
      }
      bytes = stage;
    }
    const int chunk = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
    const int sent = send(socket, bytes, chunk);
    if (sent == platform::kWouldBlock) return FlushResult::kWaiting;
    if (sent == platform::kPeerReset) return FlushResult::kReset;
    if (sent < 0) return FlushResult::kFailed;
    progressed = true;
    Consume(queue, static_cast<std::size_t>(sent));
    if (static_cast<std::size_t>(sent) < length) return FlushResult::kWaiting;
  }
  CompactIfEmpty(queue);
  return FlushResult::kEmpty;
}

void ClearQueue(OutputQueue& queue) {
  for (int i = queue.Head; i < queue.Head + queue.Count; ++i) ReleaseBlock(queue.Entries[i].Block);
  platform::FreeMemory(queue.Entries);
  queue = OutputQueue{};
}

}  // namespace qc
