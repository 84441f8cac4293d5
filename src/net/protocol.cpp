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
  // This console's own clients get it at once, ahead of any answer to the same input.
  if (target == &server) HandOutInbox(server, *context.Batch);
}

void AnswerTelnet(void* target, const char* bytes, std::size_t length) {
  QueueRawToClient(*static_cast<ClientState*>(target), bytes, length);
}

bool SameAddress(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Whether a wrong password from address still waits for its answer.
bool RefusalWaits(const SessionContext& context, const char* address) {
  for (int i = 0; i < context.ConnectionCount; ++i) {
    const ClientState& other = *context.Connections[i];
    if (other.Phase == ClientPhase::kRefusing && SameAddress(other.Address, address)) return true;
  }
  return false;
}

// An admitted client is listed once no wrong password of its address waits and ClientList
// has room.
bool CanList(const SessionContext& context, const ClientState& client) {
  return context.Server->ClientCount.load(std::memory_order_relaxed) < kMaxClients &&
         !RefusalWaits(context, client.Address);
}

void HandleInputLines(SessionContext& context, ClientState& client);

void Admit(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_OK: Password accepted");
  ListClient(context, client);
  // What came after the password in its piece is the session's first input.
  if (client.Line.Length > 0 && std::memchr(client.Line.Text, '\n', client.Line.Length)) {
    HandleInputLines(context, client);
  }
}

// The first line is the attempt: the whole line without its line end, compared in constant
// time. Until it is right the client is not listed and nothing it sends is pushed.
void CheckPassword(SessionContext& context, ClientState& client) {
  LineAssembler& line = client.Line;
  const auto* lineFeed = static_cast<const char*>(std::memchr(line.Text, '\n', line.Length));
  const std::size_t lineEnd = static_cast<std::size_t>(lineFeed - line.Text);
  std::size_t attempt = lineEnd;
  if (attempt > 0 && line.Text[attempt - 1] == '\r') --attempt;
  const char* password = context.Server->Password;
  const bool right =
      SameSecret(line.Text, attempt, password, std::strlen(password)) && !client.LineOverflowed;
  client.LineOverflowed = false;
  client.PromptDeadline = 0;
  if (!right) {
    ResetLine(line);
    client.Phase = ClientPhase::kRefusing;
    client.AttemptAt = context.Now;
    return;
  }
  // Keep what followed the password's line.
  line.Length -= lineEnd + 1;
  std::memmove(line.Text, line.Text + lineEnd + 1, line.Length);
  line.Text[line.Length] = '\0';
  client.Phase = ClientPhase::kAdmitted;
  if (CanList(context, client)) Admit(context, client);
}

// Pushes the folded refusals as one notice: the first form for a single refusal, else the
// latest address and how many more came since the last notice.
void PushFoldedRefusals(SessionContext& context) {
  PasswordGate& gate = *context.Gate;
  ConsoleServer& server = *context.Server;
  if (gate.FoldedRefusals == 1) {
    FormatText(context.Scratch, kTextBytes,
               "QC_ERROR: %s refused: wrong password (Port %d, GoID: %d)", gate.FoldedAddress,
               int{server.Port}, static_cast<int>(server.GoID));
  } else {
    FormatText(context.Scratch, kTextBytes,
               "QC_ERROR: %s refused: wrong password, %d more since the last notice (Port %d, "
               "GoID: %d)",
               gate.FoldedAddress, gate.FoldedRefusals - 1, int{server.Port},
               static_cast<int>(server.GoID));
  }
  PushLocked(server, context.Scratch);
  gate.LastNoticeAt = context.Now;
  gate.FoldedRefusals = 0;
}

// Tells the host of a refusal, at most one notice a second: a refusal that comes sooner is
// folded into the next notice.
void NoteRefusal(SessionContext& context, const char* address) {
  PasswordGate& gate = *context.Gate;
  ++gate.FoldedRefusals;
  CopyText(gate.FoldedAddress, sizeof gate.FoldedAddress, address);
  if (gate.FoldedRefusals == 1 &&
      (gate.LastNoticeAt == 0 || context.Now >= gate.LastNoticeAt + 1000)) {
    PushFoldedRefusals(context);
  }
}

// When a wrong password from address may be answered next (answers to one address come at
// most once a second).
std::int64_t AddressFreeAt(const PasswordGate& gate, const char* address) {
  for (const auto& answered : gate.LastByAddress) {
    if (answered.At != 0 && SameAddress(answered.Address, address)) {
      return answered.At + kRefusalPauseMillis;
    }
  }
  return 0;
}

// When the console may answer its next wrong password (at most kMostRefusalsPerSecond a
// second).
std::int64_t GateFreeAt(const PasswordGate& gate) {
  const std::int64_t oldest = gate.RecentAnswers[gate.NextAnswer];
  return oldest == 0 ? 0 : oldest + kRefusalPauseMillis;
}

std::int64_t AnswerDue(const PasswordGate& gate, const ClientState& client) {
  std::int64_t due = client.AttemptAt + kRefusalPauseMillis;
  const std::int64_t address = AddressFreeAt(gate, client.Address);
  if (address > due) due = address;
  const std::int64_t console = GateFreeAt(gate);
  return console > due ? console : due;
}

void RecordAnswer(SessionContext& context, const char* address) {
  PasswordGate& gate = *context.Gate;
  gate.RecentAnswers[gate.NextAnswer] = context.Now;
  gate.NextAnswer = (gate.NextAnswer + 1) % kMostRefusalsPerSecond;
  auto* slot = &gate.LastByAddress[0];
  for (auto& answered : gate.LastByAddress) {
    if (answered.At != 0 && SameAddress(answered.Address, address)) {
      slot = &answered;
      break;
    }
    if (answered.At < slot->At) slot = &answered;  // the oldest (or an empty one) gives way
  }
  CopyText(slot->Address, sizeof slot->Address, address);
  slot->At = context.Now;
}

void RefusePassword(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_ERROR: Wrong password");
  client.Phase = ClientPhase::kClosing;
  RecordAnswer(context, client.Address);
  NoteRefusal(context, client.Address);
}

void Quit(SessionContext& context, ClientState& client) {
  // The address is read afresh; a client that closed right after "[quit]" has none to read,
  // and is then named by the address it connected from rather than by 0.0.0.0.
  char address[kAddressTextBytes];
  if (!GetPeerAddressText(client.Connection, address)) {
    CopyText(address, sizeof address, client.Address);
  }
  UnlistClient(context, client, address);
  QueueNotice(client, "QC_OK: Disconnecting from Team Quillaret development console");
  client.Phase = ClientPhase::kClosing;
  ResetLine(client.Line);  // what followed "[quit]" is dropped
}

// Pushes text[from, to) of the line as one message.
void PushRun(ConsoleServer& server, char* text, std::size_t from, std::size_t to) {
  const char kept = text[to];
  text[to] = '\0';
  PushLocked(server, text + from);
  text[to] = kept;
}

// Answers a console command; false when it ended the session.
bool Answer(SessionContext& context, ClientState& client, LineCommand command) {
  switch (command) {
    case LineCommand::kQuit:
      Quit(context, client);
      return false;
    case LineCommand::kWho:
      SendClientListing(*context.Server, client, context.Scratch);
      break;
    case LineCommand::kSpawns:
      SendServerListing(client, context.Scratch);
      break;
    case LineCommand::kNone:
      break;
  }
  return true;
}

// The line accumulator holds complete lines (and perhaps an unfinished tail after the last line
// feed). Without a command among the complete lines, the whole text is pushed as one message,
// tail included. Otherwise each command line is answered in its place, each run of other
// lines is pushed as one message, and the tail waits for its line end.
void HandleInputLines(SessionContext& context, ClientState& client) {
  ConsoleServer& server = *context.Server;
  LineAssembler& line = client.Line;
  char* text = line.Text;
  std::size_t complete = line.Length;
  while (complete > 0 && text[complete - 1] != '\n') --complete;
  bool anyCommand = false;
  for (std::size_t at = 0; at < complete && !anyCommand;) {
    anyCommand = MatchCommand(text + at) != LineCommand::kNone;
    at = static_cast<std::size_t>(static_cast<const char*>(std::memchr(text + at, '\n', complete - at)) - text) + 1;
  }
  if (!anyCommand) {
    PushLocked(server, text);
    ResetLine(line);
    return;
  }
  std::size_t run = 0;
  for (std::size_t at = 0; at < complete;) {
    const std::size_t end =
        static_cast<std::size_t>(static_cast<const char*>(std::memchr(text + at, '\n', complete - at)) - text) + 1;
    const LineCommand command = MatchCommand(text + at);
    if (command != LineCommand::kNone) {
      if (at > run) PushRun(server, text, run, at);
      if (!Answer(context, client, command)) return;
      run = end;
    }
    at = end;
  }
  if (complete > run) PushRun(server, text, run, complete);
  line.Length -= complete;
  std::memmove(text, text + complete, line.Length);
  text[line.Length] = '\0';
  if (line.Length == 0) ResetLine(line);  // a long line's buffer is given back
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
  if (context.Server->Password[0] == '\0') {
    ListClient(context, client);
    return;
  }
  int waiting = 0;
  int fromAddress = 0;
  for (int i = 0; i < context.ConnectionCount; ++i) {
    const ClientState& other = *context.Connections[i];
    if (&other == &client) continue;
    if (other.Phase != ClientPhase::kPassword && other.Phase != ClientPhase::kRefusing) continue;
    ++waiting;
    fromAddress += SameAddress(other.Address, client.Address);
  }
  if (waiting >= kMostWaitingAtPrompt || fromAddress >= kMostWaitingPerAddress) {
    QueueNotice(client, "QC_ERROR: Too many connections waiting for a password");
    client.Phase = ClientPhase::kClosing;
    return;
  }
  QueueNotice(client, "QC_OK: Password required");
  client.Phase = ClientPhase::kPassword;
  client.PromptDeadline = context.Now + kPromptTimeoutMillis;
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
  if (outcome.NoMemory) {
    // The piece is lost, so the line is not what the developer typed (there may be no line
    // at all): nothing of it is taken, and the client is dropped at the loop's next turn.
    if (client.Drop == ClientDrop::kNone) client.Drop = ClientDrop::kNoMemory;
    return;
  }
  if (client.Phase == ClientPhase::kPassword) {
    client.LineOverflowed = client.LineOverflowed || outcome.Overflowed;  // no attempt at all
    if (outcome.Complete) CheckPassword(context, client);
    return;
  }
  if (outcome.Overflowed) ReportOverflow(context, client);
  if (outcome.Complete) HandleInputLines(context, client);
}

void RunTimers(SessionContext& context, ClientState& client) {
  if (client.Phase == ClientPhase::kAdmitted && CanList(context, client)) Admit(context, client);
  if (client.Phase == ClientPhase::kPassword && context.Now >= client.PromptDeadline) {
    QueueNotice(client, "QC_ERROR: Password timed out");
    client.Phase = ClientPhase::kClosing;
    return;
  }
  if (WantsInput(client) && client.ReceiveDeadline != 0 && context.Now >= client.ReceiveDeadline) {
    WriteDiagnostic(kTimedOut);
    QueueToClient(client, kTimedOut, std::strlen(kTimedOut));
    ArmReceiveTimeout(context, client);
  }
}

void RunPasswordGate(SessionContext& context) {
  PasswordGate& gate = *context.Gate;
  // The refusals folded since the last notice go first; the ones answered now wait a second.
  if (gate.FoldedRefusals > 0 && context.Now >= gate.LastNoticeAt + 1000) {
    PushFoldedRefusals(context);
  }
  // Answers in the order the wrong passwords were given, as far as the limits let.
  for (;;) {
    ClientState* next = nullptr;
    for (int i = 0; i < context.ConnectionCount; ++i) {
      ClientState* refused = context.Connections[i];
      if (refused->Phase != ClientPhase::kRefusing) continue;
      if (context.Now < AnswerDue(gate, *refused)) continue;
      if (next == nullptr || refused->AttemptAt < next->AttemptAt) next = refused;
    }
    if (next == nullptr) break;
    RefusePassword(context, *next);
  }
}

std::int64_t NextTimer(const SessionContext& context, const ClientState& client) {
  std::int64_t next = 0;
  const auto nearest = [&next](std::int64_t at) {
    if (at != 0 && (next == 0 || at < next)) next = at;
  };
  if (WantsInput(client)) nearest(client.ReceiveDeadline);
  if (client.Phase == ClientPhase::kPassword) nearest(client.PromptDeadline);
  if (client.Phase == ClientPhase::kAdmitted && CanList(context, client)) nearest(context.Now);
  return next;
}

std::int64_t NextGateTimer(const SessionContext& context) {
  const PasswordGate& gate = *context.Gate;
  std::int64_t next = gate.FoldedRefusals > 0 ? gate.LastNoticeAt + 1000 : 0;
  for (int i = 0; i < context.ConnectionCount; ++i) {
    const ClientState& refused = *context.Connections[i];
    if (refused.Phase != ClientPhase::kRefusing) continue;
    const std::int64_t due = AnswerDue(gate, refused);
    if (next == 0 || due < next) next = due;
  }
  return next;
}

void EndSession(SessionContext& context, ClientState& client) {
  if (client.Phase == ClientPhase::kListed) UnlistClient(context, client, client.Address);
  client.Phase = ClientPhase::kClosing;
  client.CloseNow = true;
}

}  // namespace qc
