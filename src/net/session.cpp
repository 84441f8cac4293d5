// One developer's session on one worker thread.
#include "net/session.h"

#include <cstring>

#include "common/diagnostic.h"
#include "common/locks.h"
#include "host/broadcast.h"
#include "net/listings.h"

namespace qc {
namespace {

constexpr int kReceiveBytes = static_cast<int>(kTextBytes) - 1;
constexpr const char* kTimedOut = "QC_ERROR: Connection has timed out\r\n";

// Sends one client a notice of its own (welcome, farewell) in the same line form as a
// broadcast notice: the time stamp, one space, the notice, CR LF. buffer holds kTextBytes.
void SendNotice(Socket client, char* buffer, const char* notice) {
  int length = static_cast<int>(FormatBroadcastLine(notice, std::strlen(notice), buffer, kTextBytes));
  (void)SendAll(client, buffer, length);
}

// Pushes the disconnected notice and takes the client out of ClientList in one hold of the
// state lock, and only then closes the socket: a broadcast can never reach a handle that the
// platform has already given to a new connection.
void EndSession(ConsoleServer& server, Socket client, const char* address, char* buffer) {
  {
    MutexHold hold(server.StateLock);
    FormatText(buffer, kTextBytes, "QC_OK: %s disconnected (Port %d, GoID: %d)", address,
               int{server.Port}, static_cast<int>(server.GoID));
    PushPending(server, buffer);
    RemoveClient(server, client);
  }
  (void)CloseClient(client);
}

void ReportOverflow(ConsoleServer& server, const char* address, char* buffer) {
  FormatText(buffer, kTextBytes, "QC_ERROR: Buffer overflow detected from client (IP: %s)",
             address);
  {
    MutexHold hold(server.StateLock);
    PushPending(server, buffer);
  }
  // Broadcast as the host would for this GoID: to the first server spawned with it.
  if (ConsoleServer* target = FindServer(server.GoID)) SendToAllClients(*target, buffer);
}

enum class ReadResult { kPiece, kTimedOutNotified, kFailed, kClosed, kSendFailed };

ReadResult ReadPiece(ConsoleServer& server, Socket client, char* received, int& length) {
  length = 0;
  received[0] = '\0';
  if (server.TimeoutEnabled && WaitReadable(client, server.Timeout) == 0) {
    WriteDiagnostic(kTimedOut);
    int noticeLength = static_cast<int>(std::strlen(kTimedOut));
    return SendAll(client, kTimedOut, noticeLength) == 0 ? ReadResult::kTimedOutNotified
                                                         : ReadResult::kSendFailed;
  }
  const int n = platform::ReceiveSome(client, received, kReceiveBytes);
  if (n < 0) return ReadResult::kFailed;
  if (n == 0) return ReadResult::kClosed;
  received[n] = '\0';
  length = n;
  return ReadResult::kPiece;
}

}  // namespace

void ResetLine(LineAssembler& line) {
  line.Length = 0;
  line.Text[0] = '\0';
}

PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength) {
  const std::size_t textLength = BoundedLength(piece, pieceLength);
  const bool complete = std::memchr(piece, '\n', textLength) != nullptr;
  if (line.Length + textLength < kTextBytes) {
    std::memcpy(line.Text + line.Length, piece, textLength);
    line.Length += textLength;
    line.Text[line.Length] = '\0';
    return {false, complete};
  }
  // The piece does not fit: it is lost whole, and the line ends in a line feed of its own.
  if (line.Length > kTextBytes - 2) line.Length = kTextBytes - 2;
  line.Text[line.Length++] = '\n';
  line.Text[line.Length] = '\0';
  return {true, complete};
}

LineCommand MatchCommand(const char* line) {
  if (StartsWith(line, "[quit]")) return LineCommand::kQuit;
  if (StartsWith(line, "[who]")) return LineCommand::kWho;
  if (StartsWith(line, "[spawns]")) return LineCommand::kSpawns;
  return LineCommand::kNone;
}

void PushPending(ConsoleServer& server, const char* text) {
  const int count = server.PendingCount.load(std::memory_order_relaxed);
  int slot;
  if (count < kMaxPending) {
    slot = (server.PendingBase + count) % kMaxPending;
  } else {
    slot = server.PendingBase;  // the oldest entry's slot becomes the top
    server.PendingBase = (server.PendingBase + 1) % kMaxPending;
  }
  CopyText(server.PendingMessages[slot], kTextBytes, text);
  if (count < kMaxPending) server.PendingCount.store(count + 1, std::memory_order_release);
}

void PopPending(ConsoleServer& server, char* out) {
  const int count = server.PendingCount.load(std::memory_order_relaxed);
  const int slot = (server.PendingBase + count - 1) % kMaxPending;
  CopyText(out, kTextBytes, server.PendingMessages[slot]);
  server.PendingCount.store(count - 1, std::memory_order_release);
}

void RemoveClient(ConsoleServer& server, Socket client) {
  for (int i = 0; i < server.ClientCount; ++i) {
    if (server.ClientList[i] == client) {
      server.ClientList[i] = server.ClientList[server.ClientCount - 1];
      --server.ClientCount;
      return;
    }
  }
}

void ServeClient(ConsoleServer& server, Socket client, SessionBuffers& buffers) {
  SendNotice(client, buffers.Notice, "QC_OK: Welcome to the Team Quillaret development console, v0.1");
  char address[kAddressTextBytes];
  GetPeerAddressText(client, address);
  {
    MutexHold hold(server.StateLock);
    FormatText(buffers.Notice, kTextBytes, "QC_OK: %s connected (Port %d, GoID: %d)", address,
               int{server.Port}, static_cast<int>(server.GoID));
    PushPending(server, buffers.Notice);
    server.ClientList[server.ClientCount++] = client;
  }

  LineAssembler& line = buffers.Line;
  for (;;) {
    ResetLine(line);
    bool complete = false;
    while (!complete) {
      int length = 0;
      switch (ReadPiece(server, client, buffers.Received, length)) {
        case ReadResult::kPiece:
          break;
        case ReadResult::kTimedOutNotified:
          continue;  // the session stays open and the partial line remains
        case ReadResult::kSendFailed:
          WriteDiagnostic("QC_ERROR: send() failed\n");
          EndSession(server, client, address, buffers.Notice);
          return;
        case ReadResult::kFailed:
          WriteDiagnostic("QC_ERROR: recv() failed\n");
          EndSession(server, client, address, buffers.Notice);
          return;
        case ReadResult::kClosed:
          // The developer closed the terminal: leaving is no error.
          EndSession(server, client, address, buffers.Notice);
          return;
      }
      const PieceOutcome outcome = AddPiece(line, buffers.Received, static_cast<std::size_t>(length));
      if (outcome.Overflowed) ReportOverflow(server, address, buffers.Notice);
      complete = outcome.Complete;
    }

    switch (MatchCommand(line.Text)) {
      case LineCommand::kQuit:
        GetPeerAddressText(client, address);
        SendNotice(client, buffers.Farewell,
                   "QC_OK: Disconnecting from Team Quillaret development console");
        EndSession(server, client, address, buffers.Farewell);
        return;
      case LineCommand::kWho:
        SendClientListing(server, client, buffers.ClientListing);
        break;
      case LineCommand::kSpawns:
        SendServerListing(client, buffers.ServerListing);
        break;
      case LineCommand::kNone: {
        MutexHold hold(server.StateLock);
        PushPending(server, line.Text);
        break;
      }
    }
  }
}

}  // namespace qc
