// What a connection's output queue holds, read back as bytes: the protocol's tests feed a
// session input and compare what it would send.
#pragma once

#include <string>

#include "net/output_queue.h"

namespace qc::test {

// Appends every unsent byte of queue to bytes, in order; the queue is emptied.
inline void AppendQueued(OutputQueue& queue, std::string& bytes) {
  for (int i = queue.Head; i < queue.Head + queue.Count; ++i) {
    const QueuedBlock& entry = queue.Entries[i];
    bytes.append(entry.Block->Bytes + entry.Sent, entry.Block->Length - entry.Sent);
  }
  ClearQueue(queue);
}

// Every unsent byte of queue, in order; the queue is emptied.
inline std::string TakeQueued(OutputQueue& queue) {
  std::string bytes;
  AppendQueued(queue, bytes);
  return bytes;
}

}  // namespace qc::test
