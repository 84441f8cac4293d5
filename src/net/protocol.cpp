// The console protocol, as a set of reactions to input and to the clock.
#include "net/protocol.h"

#include <cstring>

#include "common/diagnostic.h"
#include "common/fixed_text.h"
#include "common/locks.h"
#include "net/listings.h"
#include "net/sockets.h"
#include "net/telnet.h"

namespace qc {
namespace {

constexpr const char* kTimedOut = "QC_ERROR: Connection has timed out\r\n";
// How long a wrong password is kept waiting before it hears so.
constexpr std::int64_t kWrongPasswordPauseMillis = 1000;

void ArmReceiveTimeout(const SessionContext& context, ClientState& client) {
  const ConsoleServer& server = *context.Server;
  // A negative time never runs out: the wait for input has no limit then.
  if (!server.TimeoutEnabled || server.Timeout.seconds < 0 || server.Timeout.micros < 0) {
    client.ReceiveDeadline = 0;
    return;
  }
  client.ReceiveDeadline = context.Now + std::int64_t{server.Timeout.seconds} * 1000 +
                           server.Timeout.micros / 1000;
}

void PushLocked(ConsoleServer& server, const char* text) {
  MutexHold hold(server.StateLock);
  PushPending(server, text);
}

// Announces the client to the host and lists it, in one hold of the state lock; what the
// inbox held goes to the clients listed before.
void ListClient(SessionContext& context, ClientState& client) {
  ConsoleServer& server = *context.Server;
  FormatText(context.Scratch, kTextBytes, "QC_OK: %s connected (Port %d, GoID: %d)",
             client.Address, int{server.Port}, static_cast<int>(server.GoID));
  MutexHold hold(server.StateLock);
  TakeInbox(server, *context.Batch);
  DistributeInbox(server, *context.Batch);
  PushPending(server, context.Scratch);
  (void)AddClient(server, client.Connection, &client);  // the loop admits no more than fit
  client.Phase = ClientPhase::kListed;
}

// The disconnected notice, with address, and the client's removal from ClientList, in one
// hold of the state lock; the client still gets what the inbox held.
void UnlistClient(SessionContext& context, ClientState& client, const char* address) {
  ConsoleServer& server = *context.Server;
  FormatText(context.Scratch, kTextBytes, "QC_OK: %s disconnected (Port %d, GoID: %d)", address,
             int{server.Port}, static_cast<int>(server.GoID));
  MutexHold hold(server.StateLock);
  TakeInbox(server, *context.Batch);
  DistributeInbox(server, *context.Batch);
  PushPending(server, context.Scratch);
  RemoveClient(server, client.Connection);
}

void ReportOverflow(SessionContext& context, const ClientState& client) {
  ConsoleServer& server = *context.Server;
  FormatText(context.Scratch, kTextBytes, "QC_ERROR: Buffer overflow detected from client (IP: %s)",
             client.Address);
  PushLocked(server, context.Scratch);
  // Broadcast as the host would for this GoID: to the first server spawned with it.
  ConsoleServer* target = FindServer(server.GoID);
  if (target == nullptr) return;
  SendToAllClients(*target, context.Scratch);
  if (target != &server) return;
  // This console's own clients get it at once, ahead of any answer to the same input.
  {
    MutexHold hold(server.StateLock);
    TakeInbox(server, *context.Batch);
  }
  DistributeInbox(server, *context.Batch);
}

void AnswerTelnet(void* target, const char* bytes, std::size_t length) {
  QueueToClient(*static_cast<ClientState*>(target), bytes, length);
}

// The first line is the attempt: the whole line without its line end, compared in constant
// time. Until it is right the client is not listed and nothing it sends is pushed.
void CheckPassword(SessionContext& context, ClientState& client) {
  const LineAssembler& line = client.Line;
  const auto* lineFeed = static_cast<const char*>(std::memchr(line.Text, '\n', line.Length));
  std::size_t attempt = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - line.Text)
                                            : line.Length;
  if (attempt > 0 && line.Text[attempt - 1] == '\r') --attempt;
  const char* password = context.Server->Password;
  const bool right =
      SameSecret(line.Text, attempt, password, std::strlen(password)) && !client.LineOverflowed;
  ResetLine(client.Line);
  client.LineOverflowed = false;
  if (right) {
    QueueNotice(client, "QC_OK: Password accepted");
    ListClient(context, client);
    return;
  }
  client.Phase = ClientPhase::kRefusing;
  client.AnswerDue = context.Now + kWrongPasswordPauseMillis;
}

void RefusePassword(SessionContext& context, ClientState& client) {
  ConsoleServer& server = *context.Server;
  QueueNotice(client, "QC_ERROR: Wrong password");
  client.Phase = ClientPhase::kClosing;
  client.AnswerDue = 0;
  FormatText(context.Scratch, kTextBytes, "QC_ERROR: %s refused: wrong password (Port %d, GoID: %d)",
             client.Address, int{server.Port}, static_cast<int>(server.GoID));
  PushLocked(server, context.Scratch);
}

void Quit(SessionContext& context, ClientState& client) {
  char address[kAddressTextBytes];
  GetPeerAddressText(client.Connection, address);
  UnlistClient(context, client, address);
  QueueNotice(client, "QC_OK: Disconnecting from Team Quillaret development console");
  client.Phase = ClientPhase::kClosing;
}

void HandleLine(SessionContext& context, ClientState& client) {
  ConsoleServer& server = *context.Server;
  switch (MatchCommand(client.Line.Text)) {
    case LineCommand::kQuit:
      Quit(context, client);
      return;
    case LineCommand::kWho:
      SendClientListing(server, client, context.Scratch);
      break;
    case LineCommand::kSpawns:
      SendServerListing(client, context.Scratch);
      break;
    case LineCommand::kNone:
      PushLocked(server, client.Line.Text);
      break;
  }
  ResetLine(client.Line);
}

}  // namespace

LineCommand MatchCommand(const char* line) {
  if (line == nullptr) return LineCommand::kNone;
  if (StartsWith(line, "[quit]")) return LineCommand::kQuit;
  if (StartsWith(line, "[who]")) return LineCommand::kWho;
  if (StartsWith(line, "[spawns]")) return LineCommand::kSpawns;
  return LineCommand::kNone;
}

void BeginSession(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_OK: Welcome to the Team Quillaret development console, v0.1");
  ArmReceiveTimeout(context, client);
  if (context.Server->Password[0] != '\0') {
    QueueNotice(client, "QC_OK: Password required");
    client.Phase = ClientPhase::kPassword;
    return;
  }
  ListClient(context, client);
}

bool WantsInput(const ClientState& client) {
  return client.Phase == ClientPhase::kPassword || client.Phase == ClientPhase::kListed;
}

void TakeInput(SessionContext& context, ClientState& client, char* bytes, std::size_t length) {
  if (!WantsInput(client)) return;
  ArmReceiveTimeout(context, client);
  bytes[length] = '\0';
  length = FilterTelnet(client.Telnet, bytes, length, AnswerTelnet, &client);
  const PieceOutcome outcome = AddPiece(client.Line, bytes, length);
  if (outcome.NoMemory && client.Drop == ClientDrop::kNone) client.Drop = ClientDrop::kNoMemory;
  if (client.Phase == ClientPhase::kPassword) {
    client.LineOverflowed = client.LineOverflowed || outcome.Overflowed;  // no attempt at all
    if (outcome.Complete) CheckPassword(context, client);
    return;
  }
  if (outcome.Overflowed) ReportOverflow(context, client);
  if (outcome.Complete) HandleLine(context, client);
}

void RunTimers(SessionContext& context, ClientState& client) {
  if (client.Phase == ClientPhase::kRefusing && context.Now >= client.AnswerDue) {
    RefusePassword(context, client);
  }
  if (WantsInput(client) && client.ReceiveDeadline != 0 && context.Now >= client.ReceiveDeadline) {
    WriteDiagnostic(kTimedOut);
    QueueToClient(client, kTimedOut, std::strlen(kTimedOut));
    ArmReceiveTimeout(context, client);
  }
}

void EndSession(SessionContext& context, ClientState& client) {
  if (client.Phase == ClientPhase::kListed) UnlistClient(context, client, client.Address);
  client.Phase = ClientPhase::kClosing;
  client.CloseNow = true;
}

}  // namespace qc
