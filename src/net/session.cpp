// One developer's session on one worker thread.
#include "net/session.h"

#include <cstring>

#include "common/diagnostic.h"
#include "common/locks.h"
#include "net/broadcast.h"
#include "net/listings.h"
#include "net/sockets.h"
#include "net/telnet.h"

namespace qc {
namespace {

constexpr int kReceiveBytes = static_cast<int>(kTextBytes) - 1;
constexpr const char* kTimedOut = "QC_ERROR: Connection has timed out\r\n";
// How long one wait for input lasts at most. A connection that another thread shut down (a
// client dropped for not reading) wakes a waiting receive on POSIX, but not on every Windows
// stack; a fresh wait notices it, so no session outlives its connection by more than this.
constexpr int kWaitSliceMillis = 500;
// How long a wrong password is kept waiting, on its own worker, before it hears so.
constexpr int kWrongPasswordPauseMillis = 1000;

// Sends one client a notice of its own (welcome, farewell) in the same line form as a
// broadcast notice: the time stamp, one space, the notice, CR LF. buffer holds kTextBytes.
void SendNotice(const ConsoleServer& server, Socket client, char* buffer, const char* notice) {
  int length = static_cast<int>(FormatBroadcastLine(notice, std::strlen(notice), buffer, kTextBytes));
  (void)SendAll(client, buffer, length, server.SendTimeoutMillis);
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

enum class ReadResult { kPiece, kTimedOutNotified, kFailed, kClosed, kSendFailed, kDropped };

// What ended a wait for input.
enum class WaitResult { kReady, kTimeUp, kDropped };

// Waits for input in slices of at most kWaitSliceMillis, until the client's input is ready
// (or the wait failed: the receive then decides), the server's receive time-out (if enabled)
// ran out, or a listed client was dropped from ClientList by a send that gave up on it.
WaitResult WaitForInput(ConsoleServer& server, Socket client, bool listed) {
  // The clock is read only when the receive time-out is enabled.
  std::int64_t deadline = 0;
  if (server.TimeoutEnabled) {
    deadline = platform::MonotonicMillis() + std::int64_t{server.Timeout.seconds} * 1000 +
               server.Timeout.micros / 1000;
  }
  for (;;) {
    std::int64_t slice = kWaitSliceMillis;
    bool last = false;
    if (server.TimeoutEnabled) {
      // A negative time fails the wait at once, as it always did.
      if (server.Timeout.seconds < 0 || server.Timeout.micros < 0) return WaitResult::kReady;
      std::int64_t left = deadline - platform::MonotonicMillis();
      if (left < 0) left = 0;
      if (left <= slice) {
        slice = left;
        last = true;
      }
    }
    const platform::Timeout wait{static_cast<std::int32_t>(slice / 1000),
                                 static_cast<std::int32_t>(slice % 1000) * 1000};
    if (WaitReadable(client, wait) != 0) return WaitResult::kReady;
    if (last) return WaitResult::kTimeUp;
    if (listed) {
      // A client that a send gave up on has been taken out of ClientList.
      MutexHold hold(server.StateLock);
      if (FindClient(server, client) < 0) return WaitResult::kDropped;
    }
  }
}

struct TelnetReplyTarget {
  Socket client;
  int sendTimeoutMillis;
};

void SendTelnetReply(void* target, const char* bytes, std::size_t length) {
  const auto& to = *static_cast<const TelnetReplyTarget*>(target);
  int n = static_cast<int>(length);
  (void)SendAll(to.client, bytes, n, to.sendTimeoutMillis);
}

// Receives one piece, without the telnet commands in it (those are answered here); length is
// the count of bytes kept, which may be 0.
ReadResult ReadPiece(ConsoleServer& server, Socket client, bool listed, TelnetState& telnet,
                     char* received, int& length) {
  length = 0;
  received[0] = '\0';
  const WaitResult waited = WaitForInput(server, client, listed);
  if (waited == WaitResult::kDropped) return ReadResult::kDropped;
  if (waited == WaitResult::kTimeUp) {
    WriteDiagnostic(kTimedOut);
    int noticeLength = static_cast<int>(std::strlen(kTimedOut));
    const int sent = SendAll(client, kTimedOut, noticeLength, server.SendTimeoutMillis);
    if (sent == 0) return ReadResult::kTimedOutNotified;
    // A send that timed out has said so and shut the connection down already.
    return sent == kSendTimedOut ? ReadResult::kDropped : ReadResult::kSendFailed;
  }
  const int n = platform::ReceiveSome(client, received, kReceiveBytes);
  if (n < 0) return ReadResult::kFailed;
  if (n == 0) return ReadResult::kClosed;
  received[n] = '\0';
  TelnetReplyTarget target{client, server.SendTimeoutMillis};
  length = static_cast<int>(
      FilterTelnet(telnet, received, static_cast<std::size_t>(n), SendTelnetReply, &target));
  return ReadResult::kPiece;
}

// Asks for the password and takes the client's first line as the attempt: the whole line
// without its line end, compared in constant time. True when it is right. Otherwise, after a
// pause, the client is told and the connection closed; the host hears of the refusal. Until
// then the client is not listed and nothing it sends is pushed; a client that leaves or fails
// here was never announced, so nothing is pushed for it.
bool PassPasswordGate(ConsoleServer& server, Socket client, const char* address,
                      TelnetState& telnet, SessionBuffers& buffers) {
  SendNotice(server, client, buffers.Notice, "QC_OK: Password required");
  LineAssembler& line = buffers.Line;
  ResetLine(line);
  bool overflowed = false;
  for (PieceOutcome outcome{false, false}; !outcome.Complete;) {
    int length = 0;
    const ReadResult read = ReadPiece(server, client, false, telnet, buffers.Received, length);
    if (read == ReadResult::kTimedOutNotified) continue;
    if (read != ReadResult::kPiece) {
      if (read == ReadResult::kFailed) WriteDiagnostic("QC_ERROR: recv() failed\n");
      if (read == ReadResult::kSendFailed) WriteDiagnostic("QC_ERROR: send() failed\n");
      (void)CloseClient(client);
      return false;
    }
    outcome = AddPiece(line, buffers.Received, static_cast<std::size_t>(length));
    overflowed = overflowed || outcome.Overflowed;  // a cut line is no attempt at all
  }
  const auto* lineFeed = static_cast<const char*>(std::memchr(line.Text, '\n', line.Length));
  std::size_t attempt = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - line.Text)
                                            : line.Length;
  if (attempt > 0 && line.Text[attempt - 1] == '\r') --attempt;
  if (SameSecret(line.Text, attempt, server.Password, std::strlen(server.Password)) &&
      !overflowed) {
    SendNotice(server, client, buffers.Notice, "QC_OK: Password accepted");
    return true;
  }
  platform::SleepMillis(kWrongPasswordPauseMillis);
  SendNotice(server, client, buffers.Notice, "QC_ERROR: Wrong password");
  (void)CloseClient(client);
  MutexHold hold(server.StateLock);
  FormatText(buffers.Notice, kTextBytes,
             "QC_ERROR: %s refused: wrong password (Port %d, GoID: %d)", address,
             int{server.Port}, static_cast<int>(server.GoID));
  PushPending(server, buffers.Notice);
  return false;
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

void ServeClient(ConsoleServer& server, Socket client, SessionBuffers& buffers) {
  SendNotice(server, client, buffers.Notice,
             "QC_OK: Welcome to the Team Quillaret development console, v0.1");
  char address[kAddressTextBytes];
  GetPeerAddressText(client, address);
  TelnetState telnet{};
  if (server.Password[0] != '\0' && !PassPasswordGate(server, client, address, telnet, buffers)) {
    return;
  }
  {
    MutexHold hold(server.StateLock);
    FormatText(buffers.Notice, kTextBytes, "QC_OK: %s connected (Port %d, GoID: %d)", address,
               int{server.Port}, static_cast<int>(server.GoID));
    PushPending(server, buffers.Notice);
    (void)AddClient(server, client);  // a worker per client: the list has room
  }

  LineAssembler& line = buffers.Line;
  for (;;) {
    ResetLine(line);
    bool complete = false;
    while (!complete) {
      int length = 0;
      switch (ReadPiece(server, client, true, telnet, buffers.Received, length)) {
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
        case ReadResult::kClosed:   // the developer closed the terminal: leaving is no error
        case ReadResult::kDropped:  // already reported by the send that gave up
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
        SendNotice(server, client, buffers.Farewell,
                   "QC_OK: Disconnecting from Team Quillaret development console");
        EndSession(server, client, address, buffers.Farewell);
        return;
      case LineCommand::kWho:
        SendClientListing(server, client, buffers.ClientListing);
        break;
      case LineCommand::kSpawns:
        SendServerListing(server, client, buffers.ServerListing);
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
