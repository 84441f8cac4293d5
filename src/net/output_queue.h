// What waits to be sent to one client: blocks of bytes in the order they were queued, the
// bytes of a broadcast held once however many clients it goes to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "server/console_server.h"

namespace qc {

// References counts the queues (or the inbox) holding the block; only the console's loop
// changes it once the block is out of the inbox.
struct OutputBlock {
  int References;
  std::size_t Length;
  char Bytes[1];  // Length bytes in truth; allocated with the block
};

// A block with room for length bytes, References 0. Null when memory is short.
OutputBlock* NewOutputBlock(std::size_t length);
// A block holding a copy of bytes[0, length). Null when memory is short.
OutputBlock* CopyToBlock(const char* bytes, std::size_t length);
// Drops one reference; the last one frees the block.
void ReleaseBlock(OutputBlock* block);
// Frees a block that no queue holds.
void FreeBlock(OutputBlock* block);

struct QueuedBlock {
  OutputBlock* Block;
  std::size_t Sent;  // bytes of the block already sent
};

// One client's output. Zero-filled is empty. The entries' array grows as blocks arrive and is
// given back once it is empty, so an idle client holds none.
struct OutputQueue {
  QueuedBlock* Entries;
  int Head;   // first entry still to send
  int Count;  // entries from Head on
  int Capacity;
  std::size_t Bytes;  // unsent bytes in all
};

// Appends block (taking one reference). False when memory is short; nothing is queued then.
bool QueueBlock(OutputQueue& queue, OutputBlock* block);
// Copies bytes into a block of their own and queues it. False when memory is short.
bool QueueBytes(OutputQueue& queue, const char* bytes, std::size_t length);

// How sending a queue went.
enum class FlushResult {
  kEmpty,    // everything went out
  kWaiting,  // the socket takes no more now; output remains
  kReset,    // the peer reset the connection
  kFailed,   // a send failed for another reason: the connection is broken
};

// Sends what the socket takes now, without waiting, through send (as platform::SendSomeNow).
// Small blocks go out together, copied into stage (stageBytes). progressed is set when any
// byte went out.
FlushResult FlushQueue(OutputQueue& queue, platform::Socket socket,
                       int (*send)(platform::Socket, const char*, int), char* stage,
                       std::size_t stageBytes, bool& progressed);

// Releases every queued block and the entries' array.
void ClearQueue(OutputQueue& queue);

}  // namespace qc
