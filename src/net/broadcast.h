// What the console sends to every attached developer: the system-notice rule, the broadcast
// line format, and the inbox through which host calls hand lines to the console's loop.
#pragma once

#include <cstddef>

#include "net/client.h"
#include "net/output_queue.h"
#include "server/console_server.h"

namespace qc {

// True when text begins with "QC_OK:", "QC_ERROR:" or "QC_REPORT:" (case-sensitive).
bool IsSystemNotice(const char* text);

// Longest head of a broadcast line: the time stamp and " QC_MSG: ".
constexpr std::size_t kBroadcastHeadBytes = 24;

// Writes the head of text's broadcast line into head (kBroadcastHeadBytes): the current time
// stamp and one space for a system notice, the time stamp and " QC_MSG: " for any other text.
// Returns its length. No NUL is written.
std::size_t WriteBroadcastHead(const char* text, char* head);
// The end of text's broadcast line: CR LF for a system notice, nothing for any other text.
const char* BroadcastTail(const char* text);

// Builds the whole broadcast line of text (textLength characters) into line (capacity bytes)
// and NUL-terminates it. Returns the line's length, or 0 with nothing written when the line
// would not fit in capacity-1 characters.
std::size_t FormatBroadcastLine(const char* text, std::size_t textLength, char* line,
                                std::size_t capacity);

// A block holding text's whole broadcast line, of any length, stamped now. Null when memory is
// short.
OutputBlock* MakeBroadcastBlock(const char* text, std::size_t textLength);

// Queues text, in the broadcast line format with one time stamp, for every client listed now,
// and wakes the console's loop, which sends it. The inbox holds at most the hard output limit
// of net/limits.h; a line past it drops every listed client, which could not take it either.
// Any thread may call it; it takes StateLock briefly and never touches a socket. An empty
// text, or a console with nobody listed, queues nothing.
void SendToAllClients(ConsoleServer& server, const char* text);

// Broadcast lines taken out of a console's inbox by its loop.
struct InboxBatch {
  OutputBlock** Blocks;
  int Count;
  int Capacity;
  bool Overrun;
  bool Lost;
};

// Moves the inbox into batch (empty before) by swapping their arrays. The caller holds
// StateLock.
void TakeInbox(ConsoleServer& server, InboxBatch& batch);

// Takes the inbox under StateLock and, with the lock released, hands it to every listed client
// (DistributeInbox). Called by the console's loop, whose ClientList this is.
void HandOutInbox(ConsoleServer& server, InboxBatch& batch);

// Hands every block of batch to every listed client of server, in order, and empties batch;
// a client that speaks telnet gets a copy with every 0xFF doubled (made once per block). A
// client that cannot take a block is marked to be dropped (ClientState::Drop); the loop
// judges the size of each queue. Called by the console's loop; ClientList does not change
// meanwhile, since only the loop changes it.
void DistributeInbox(ConsoleServer& server, InboxBatch& batch);
// The same for the count clients given: those that were listed when the batch was taken.
void DistributeBatch(InboxBatch& batch, ClientState* const* clients, int count);

// Wakes the console's loop, once for a burst of calls (WakePending). Any thread may call it.
void WakeLoop(ConsoleServer& server);

// Queues one client a notice of its own (welcome, farewell, a time-out) in the line form of a
// broadcast notice: the time stamp, one space, the notice, CR LF; 0xFF doubled for a client
// that speaks telnet.
void QueueNotice(ClientState& client, const char* notice);

// Queues bytes for one client, with every 0xFF doubled when the client speaks telnet. A client
// that cannot take them is marked to be dropped.
void QueueToClient(ClientState& client, const char* bytes, std::size_t length);
// Queues bytes for one client exactly as they are: the console's own telnet answers.
void QueueRawToClient(ClientState& client, const char* bytes, std::size_t length);

}  // namespace qc
