// Broadcast formatting and the send-to-everyone loop.
#include "host/broadcast.h"

#include <cstring>

#include "common/locks.h"
#include "common/timestamp.h"
#include "net/sockets.h"

namespace qc {
namespace {

constexpr const char kMessageTag[] = " QC_MSG: ";

void SendBytes(Socket client, const char* bytes, std::size_t length) {
  int sendLength = static_cast<int>(length);
  (void)SendAll(client, bytes, sendLength);
}

// Sends one client the line of a text too long for the kTextBytes line buffer: the same bytes
// in three sends (head, text, end). The state lock is held, so no other broadcast to this
// server can come between them.
void SendLineInParts(Socket client, const char* text, std::size_t textLength, char* head) {
  SendBytes(client, head, WriteBroadcastHead(text, head));
  SendBytes(client, text, textLength);
  const char* tail = BroadcastTail(text);
  SendBytes(client, tail, std::strlen(tail));
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
  char line[kTextBytes];
  // Clients' lines differ only in their time stamps: the line is built once and stamped
  // afresh before each send, rather than copying the text again for every client.
  const std::size_t lineLength = FormatBroadcastLine(text, textLength, line, kTextBytes);
  for (int i = 0; i < server.ClientCount; ++i) {
    if (lineLength == 0) {
      SendLineInParts(server.ClientList[i], text, textLength, line);
      continue;
    }
    WriteTimestamp(line);
    SendBytes(server.ClientList[i], line, lineLength);
  }
}

}  // namespace qc
