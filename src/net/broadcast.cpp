// Broadcast formatting and the send-to-everyone loop.
#include "net/broadcast.h"

#include <cstring>

#include "common/locks.h"
#include "common/timestamp.h"
#include "net/sockets.h"

namespace qc {
namespace {

constexpr const char kMessageTag[] = " QC_MSG: ";

int SendBytes(const ConsoleServer& server, Socket client, const char* bytes,
              std::size_t length) {
  int sendLength = static_cast<int>(length);
  return SendAll(client, bytes, sendLength, server.SendTimeoutMillis);
}

// Sends one client the line of a text too long for the kTextBytes line buffer: the same bytes
// in three sends (head, text, end). The state lock is held, so no other broadcast to this
// server can come between them. The result of the first send that did not succeed, or 0.
int SendLineInParts(const ConsoleServer& server, Socket client, const char* text,
                    std::size_t textLength, char* head) {
  int result = SendBytes(server, client, head, WriteBroadcastHead(text, head));
  if (result == 0) result = SendBytes(server, client, text, textLength);
  const char* tail = BroadcastTail(text);
  if (result == 0) result = SendBytes(server, client, tail, std::strlen(tail));
  return result;
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

void SendToAllClients(ConsoleServer& server, const char* text) {
  MutexHold hold(server.StateLock);
  if (text[0] == '\0' || server.ClientCount == 0) return;
  const std::size_t textLength = std::strlen(text);
  char* line = server.BroadcastLine;
  // Clients' lines differ only in their time stamps: the line is built once and stamped
  // afresh before each send, rather than copying the text again for every client.
  const std::size_t lineLength = FormatBroadcastLine(text, textLength, line, kTextBytes);
  for (int i = 0; i < server.ClientCount;) {
    const Socket client = server.ClientList[i];
    int result;
    if (lineLength == 0) {
      result = SendLineInParts(server, client, text, textLength, line);
    } else {
      WriteTimestamp(line);
      result = SendBytes(server, client, line, lineLength);
    }
    // A client that stopped reading has been shut down; it leaves the list now, so that no
    // later broadcast waits on it, and its own worker closes it.
    if (result == kSendTimedOut) {
      RemoveClientAt(server, i);
    } else {
      ++i;
    }
  }
}

}  // namespace qc
