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
    client.Input.ReceiveDeadline = 0;
    return;
  }
  client.Input.ReceiveDeadline =
      context.Now + std::int64_t{server.Timeout.seconds} * 1000 + server.Timeout.micros / 1000;
}

// Whether the client's silence counts: it is at the prompt or listed.
bool Reading(const ClientState& client) {
  return client.Phase == ClientPhase::kPassword || client.Phase == ClientPhase::kListed;
}

// Announces the client to the host and lists it, in one hold of the state lock. What the
// inbox held goes to the clients listed before, once the lock is released: only this thread
// changes ClientList, and a host call never waits for the handing out.
void ListClient(SessionContext& context, ClientState& client) {
  ConsoleServer& server = *context.Server;
  char notice[kNoticeBytes];
  FormatText(notice, sizeof notice, "QC_OK: %s connected (Port %d, GoID: %d)", client.Address,
             int{server.Port}, static_cast<int>(server.GoID));
  int listedBefore = 0;
  {
    MutexHold hold(server.StateLock);
    TakeInbox(server, *context.Batch);
    listedBefore = server.ClientCount.load(std::memory_order_relaxed);
    PushNoticeLocked(context, notice);
    (void)AddClient(server, client.Connection, &client);  // the loop admits no more than fit
  }
  client.Phase = ClientPhase::kListed;
  // The new client was appended after them.
  DistributeBatch(*context.Batch, server.ClientStates, listedBefore);
}

void FormatDisconnected(const ConsoleServer& server, const char* address, char* notice) {
  FormatText(notice, kNoticeBytes, "QC_OK: %s disconnected (Port %d, GoID: %d)", address,
             int{server.Port}, static_cast<int>(server.GoID));
}

// The client's removal from ClientList and its disconnected notice, named by address, in one
// hold of the state lock; the client still gets what the inbox held, as do the others. A client
// whose typed lines still wait for the stack leaves as departed: its lines go on in order, and
// the notice follows them (PushDepartedLines).
void UnlistClient(SessionContext& context, ClientState& client, const char* address) {
  ConsoleServer& server = *context.Server;
  char notice[kNoticeBytes];
  FormatDisconnected(server, address, notice);
  client.Departed = client.Input.Line.Ready > 0;
  if (client.Departed) {
    CopyText(client.Address, sizeof client.Address, address);
    client.Input.Line.Length = client.Input.Line.Ready;  // a line still being typed is not a line
    client.Input.Line.Text[client.Input.Line.Length] = '\0';
  }
  {
    MutexHold hold(server.StateLock);
    TakeInbox(server, *context.Batch);
    if (!client.Departed) PushNoticeLocked(context, notice);
    RemoveClient(server, client.Connection);
  }
  ClientState* receivers[kMaxClients];
  int count = server.ClientCount.load(std::memory_order_relaxed);
  std::memcpy(receivers, server.ClientStates, static_cast<std::size_t>(count) * sizeof *receivers);
  receivers[count++] = &client;
  DistributeBatch(*context.Batch, receivers, count);
}

// Pushes the overflow notice and broadcasts it as the host would for this GoID: to the first
// server spawned with it.
void AnnounceOverflow(SessionContext& context, const char* notice) {
  ConsoleServer& server = *context.Server;
  PushNotice(context, notice);
  ConsoleServer* target = FindServer(server.GoID);
  if (target == nullptr) return;
  SendToAllClients(*target, notice);
  // This console's own clients get it at once, ahead of any answer to the same input.
  if (target == &server) HandOutInbox(server, *context.Batch);
}

// The notice of the overflows counted since the last one.
void AnnounceFoldedOverflows(SessionContext& context, ClientState& client) {
  char notice[kNoticeBytes];
  FormatText(notice, sizeof notice,
             "QC_ERROR: Buffer overflow detected from client (IP: %s), %d more since the last "
             "notice",
             client.Address, client.Overflow.Folded);
  client.Overflow.Folded = 0;
  client.Overflow.NoticeAt = context.Now;
  AnnounceOverflow(context, notice);
}

// An overflow gets its own notice unless the client overflowed kExactOverflowsPerSecond times
// in the last second already; then it is counted for the folded notice.
void ReportOverflow(SessionContext& context, ClientState& client) {
  std::int64_t& fifthLast = client.Overflow.ExactAt[client.Overflow.NextExact];
  const bool flood = fifthLast != 0 && context.Now - fifthLast < kOverflowFoldMillis;
  fifthLast = context.Now;
  client.Overflow.NextExact = (client.Overflow.NextExact + 1) % kExactOverflowsPerSecond;
  if (flood) {
    ++client.Overflow.Folded;
    return;
  }
  char notice[kNoticeBytes];
  FormatText(notice, sizeof notice, "QC_ERROR: Buffer overflow detected from client (IP: %s)",
             client.Address);
  client.Overflow.NoticeAt = context.Now;
  AnnounceOverflow(context, notice);
}

// The console's refusals of telnet options. A client that floods requests and reads nothing
// gets no more of them once its unsent output is past the mark: they are a courtesy, and it is
// not read from again until it takes its output.
void AnswerTelnet(void* target, const char* bytes, std::size_t length) {
  auto& client = *static_cast<ClientState*>(target);
  if (client.Output.Queue.Bytes <= kOutputHighWater) QueueRawToClient(client, bytes, length);
}

// An admitted client is listed once no wrong password its address gave before its right one
// waits for an answer, and ClientList has room.
bool CanList(const SessionContext& context, const ClientState& client) {
  return context.Server->ClientCount.load(std::memory_order_relaxed) < kMaxClients &&
         !RefusalsPrecede(client);
}

void Admit(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_OK: Password accepted");
  ListClient(context, client);
  // What came after the password in its piece is the session's first input.
  RunInputLines(context, client);
}

// The first line is the attempt: the whole line without its line end, compared in constant
// time. Until it is right the client is not listed and nothing it sends is pushed.
void CheckPassword(SessionContext& context, ClientState& client) {
  LineAssembler& line = client.Input.Line;
  const auto* lineFeed = static_cast<const char*>(std::memchr(line.Text, '\n', line.Length));
  const std::size_t lineEnd = static_cast<std::size_t>(lineFeed - line.Text);
  std::size_t attempt = lineEnd;
  if (attempt > 0 && line.Text[attempt - 1] == '\r') --attempt;
  const char* password = context.Server->Password;
  const bool right = SameSecret(line.Text, attempt, password, std::strlen(password)) &&
                     !client.Input.LineOverflowed;
  client.Input.LineOverflowed = false;
  client.Gate.PromptDeadline = 0;
  if (!right) {
    ResetLine(line);
    client.Phase = ClientPhase::kRefusing;
    client.Gate.AttemptAt = context.Now;
    HoldRefusal(client);
    return;
  }
  // Keep what followed the password's line.
  DropFront(line, lineEnd + 1);
  client.Phase = ClientPhase::kAdmitted;
  HoldAdmission(client);
  if (CanList(context, client)) Admit(context, client);
}

void Quit(SessionContext& context, ClientState& client) {
  if (client.Overflow.Folded > 0) AnnounceFoldedOverflows(context, client);
  // The address is read afresh; a client that closed right after "[quit]" has none to read,
  // and is then named by the address it connected from rather than by 0.0.0.0.
  char address[kAddressTextBytes];
  if (!GetPeerAddressText(client.Connection, address)) {
    CopyText(address, sizeof address, client.Address);
  }
  UnlistClient(context, client, address);
  QueueNotice(client, "QC_OK: Disconnecting from Team Quillaret development console");
  client.Phase = ClientPhase::kClosing;
  if (!client.Departed) ResetLine(client.Input.Line);
}

// Pushes line.Text[from, to) as one message when the stack takes typed lines now, or whatever
// the stack holds when forced (its oldest entries give way, as on any full stack); false when
// it is not pushed.
bool PushRange(SessionContext& context, LineAssembler& line, std::size_t from, std::size_t to,
               bool force) {
  ConsoleServer& server = *context.Server;
  // The pace is judged before the lock is taken, so the host's calls never wait for it; the
  // stack itself (open, with room) is looked at again under the lock.
  if (!force && !StackTakesLines(context)) return false;
  MutexHold hold(server.StateLock);
  if (!force && !StackHasRoom(context)) return false;
  char* text = line.Text;
  const char kept = text[to];
  text[to] = '\0';
  PushPending(server, text + from);
  text[to] = kept;
  return true;
}

// Answers a listing command ("[who]" or "[spawns]"); "[quit]" ends the session, which the caller
// does itself.
void Answer(SessionContext& context, ClientState& client, LineCommand command) {
  if (command == LineCommand::kWho) {
    SendClientListing(*context.Server, client, context.Scratch);
  } else {
    SendServerListing(client, context.Scratch);
  }
}

// The end of the line that begins at at (just after its line feed); the ready lines all end in
// one.
std::size_t LineEnd(const LineAssembler& line, std::size_t at) {
  const void* feed = std::memchr(line.Text + at, '\n', line.Ready - at);
  return static_cast<std::size_t>(static_cast<const char*>(feed) - line.Text) + 1;
}

// The end of the run of ordinary lines that begins at at: they go as one message. What follows
// the last line feed is the start of a line still being typed: it waits for its own line end,
// so a paste that arrives in several pieces never reaches the host as halves of lines.
std::size_t RunEnd(const LineAssembler& line, std::size_t at) {
  std::size_t run = LineEnd(line, at);
  while (run < line.Ready && MatchCommand(line.Text + run) == LineCommand::kNone) {
    run = LineEnd(line, run);
  }
  if (run - at >= kTextBytes) {
    // Longer than a message holds: cut after the last line feed that fits. Every line fits
    // one, since a line being typed never reaches kTextBytes.
    std::size_t cut = at + kTextBytes - 1;
    while (line.Text[cut - 1] != '\n') --cut;
    run = cut;
  }
  return run;
}

}  // namespace

LineCommand MatchCommand(const char* line) {
  if (line == nullptr) return LineCommand::kNone;
  if (StartsWith(line, "[quit]")) return LineCommand::kQuit;
  if (StartsWith(line, "[who]")) return LineCommand::kWho;
  if (StartsWith(line, "[spawns]")) return LineCommand::kSpawns;
  return LineCommand::kNone;
}

namespace {

// Connections at the prompt or waiting for the answer to a wrong password hold its places.
bool HoldsPromptPlace(const ClientState& client) {
  return !client.CloseNow && !client.Input.Ended &&
         (client.Phase == ClientPhase::kPassword || client.Phase == ClientPhase::kRefusing);
}

int PlacesOf(const SessionContext& context, const char* address, const ClientState& except) {
  int places = 0;
  for (int i = 0; i < context.ConnectionCount; ++i) {
    const ClientState& other = *context.Connections[i];
    places += &other != &except && HoldsPromptPlace(other) && SameAddress(other.Address, address);
  }
  return places;
}

void TurnAway(ClientState& client) {
  if (client.Phase == ClientPhase::kRefusing) LeavePasswordGate(client);
  QueueNotice(client, "QC_ERROR: Too many connections waiting for a password");
  client.Phase = ClientPhase::kClosing;
}

// With every place at the prompt taken, the newcomer takes the place of the oldest connection
// of the address with the most places, if that address would still hold more than the
// newcomer's. True when a place came free.
bool FreePromptPlace(SessionContext& context, const ClientState& newcomer, int newcomerPlaces) {
  ClientState* oldest = nullptr;
  int most = 0;
  for (int i = 0; i < context.ConnectionCount; ++i) {
    ClientState* other = context.Connections[i];
    if (other == &newcomer || !HoldsPromptPlace(*other)) continue;
    const int places = PlacesOf(context, other->Address, newcomer);
    if (places > most || (places == most && other->Gate.PromptSince < oldest->Gate.PromptSince)) {
      most = places;
      oldest = other;
    }
  }
  if (oldest == nullptr || newcomerPlaces + 1 >= most) return false;
  TurnAway(*oldest);
  return true;
}

}  // namespace

void BeginSession(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_OK: Welcome to the Team Quillaret development console, v0.1");
  ArmReceiveTimeout(context, client);
  if (context.Server->Password[0] == '\0') {
    ListClient(context, client);
    return;
  }
  int waiting = 0;
  for (int i = 0; i < context.ConnectionCount; ++i) {
    waiting += context.Connections[i] != &client && HoldsPromptPlace(*context.Connections[i]);
  }
  const int fromAddress = PlacesOf(context, client.Address, client);
  if (fromAddress >= kMostWaitingPerAddress ||
      (waiting >= kMostWaitingAtPrompt && !FreePromptPlace(context, client, fromAddress))) {
    QueueNotice(client, "QC_ERROR: Too many connections waiting for a password");
    client.Phase = ClientPhase::kClosing;
    return;
  }
  QueueNotice(client, "QC_OK: Password required");
  client.Phase = ClientPhase::kPassword;
  client.Gate.PromptSince = context.Now;
  client.Gate.PromptDeadline = context.Now + kPromptTimeoutMillis;
}

std::size_t EchoOwed(const SessionContext& context) {
  const ConsoleServer& server = *context.Server;
  std::size_t slowest = 0;
  const int listed = server.ClientCount.load(std::memory_order_relaxed);
  for (int i = 0; i < listed; ++i) {
    const ClientState& reader = *server.ClientStates[i];
    if (reader.Output.Drop == ClientDrop::kNone && reader.Output.Queue.Bytes > slowest) {
      slowest = reader.Output.Queue.Bytes;
    }
  }
  return slowest + server.InboxBytes.load(std::memory_order_relaxed) +
         server.PendingBytes.load(std::memory_order_relaxed);
}

bool StackTakesLines(const SessionContext& context) {
  return StackHasRoom(context) && EchoOwed(context) < PaceMark(*context.Server);
}

namespace {

// Whether a console command can be answered now: the client is listed, its unsent output is
// below the mark, and its share of commands for this turn is not spent.
bool CommandCanGo(const ClientState& client, int commandsLeft) {
  return client.Phase == ClientPhase::kListed && client.Output.Queue.Bytes <= kOutputHighWater &&
         commandsLeft > 0;
}

// Takes line.Text[from, to) out of the line (handled lines between lines that wait).
void CloseGap(LineAssembler& line, std::size_t from, std::size_t to) {
  if (from == to) return;
  std::memmove(line.Text + from, line.Text + to, line.Length - to + 1);  // the NUL too
  line.Length -= to - from;
  line.Ready -= to - from;
}

// RunInputLines; forced, a departed developer's lines are pushed whatever the stack holds.
void WalkInputLines(SessionContext& context, ClientState& client, bool force) {
  LineAssembler& line = client.Input.Line;
  // Ordinary lines that wait for the stack are kept at the front, in order, while the console's
  // own commands after them are answered and taken out: the console answers for itself whatever
  // the host does. The lines between kept and at are handled; the gap closes once, at the end.
  // Lines already found waiting, and nothing after them: until the stack takes lines again
  // there is nothing to do, and they are not looked through again every turn.
  if (!force && line.Ready > 0 && client.Input.WaitingForStack == line.Ready &&
      !StackTakesLines(context)) {
    return;
  }
  std::size_t kept = 0;
  std::size_t at = 0;
  while (at < line.Ready) {
    const std::size_t end = LineEnd(line, at);
    const LineCommand command = MatchCommand(line.Text + at);
    if (command != LineCommand::kNone) {
      if (client.Departed) {  // nobody is left to answer
        at = end;
        continue;
      }
      if (!CommandCanGo(client, client.Input.CommandsLeft)) break;
      ArmReceiveTimeout(context, client);  // taking its lines is hearing from it
      --client.Input.CommandsLeft;
      if (command == LineCommand::kQuit) {
        // What followed "[quit]" is dropped; the lines that wait before it go on.
        line.Length = line.Ready = at;
        line.Text[at] = '\0';
        CloseGap(line, kept, at);
        client.Input.WaitingForStack = kept;
        Quit(context, client);
        return;
      }
      at = end;
      Answer(context, client, command);
      continue;
    }
    if (!client.Departed && client.Phase != ClientPhase::kListed) break;
    const std::size_t run = RunEnd(line, at);
    if (kept == 0 && PushRange(context, line, at, run, force)) {
      if (!client.Departed) ArmReceiveTimeout(context, client);
      at = run;
      continue;
    }
    // The stack takes no typed line now: these wait, and every ordinary line after them.
    if (kept != at) std::memmove(line.Text + kept, line.Text + at, run - at);
    kept += run - at;
    at = run;
  }
  CloseGap(line, kept, at);
  client.Input.WaitingForStack = kept;
  if (line.Ready == 0 && line.Length == 0) ResetLine(line);  // a long buffer is given back
}

}  // namespace

void RunInputLines(SessionContext& context, ClientState& client) {
  WalkInputLines(context, client, false);
}

bool WantsInput(const SessionContext& context, const ClientState& client) {
  (void)context;
  if (client.Departed) return false;
  switch (client.Phase) {
    case ClientPhase::kPassword:
      return client.Output.Queue.Bytes <= kOutputHighWater;
    case ClientPhase::kRefusing:
      // What it sends is dropped; the end of its stream frees its place at once.
      return !client.Input.Ended;
    case ClientPhase::kListed:
      // Lines left for the next turn's share are handled first; lines that wait for the host
      // leave room to read one more piece, so the console still hears commands and leaving.
      return client.Output.Queue.Bytes <= kOutputHighWater &&
             client.Input.Line.Ready == client.Input.WaitingForStack &&
             client.Input.Line.Length + kReceiveBytes < kMostLineBytes;
    default:
      return false;
  }
}

void PushDepartedLines(SessionContext& context, ClientState& client, bool now) {
  LineAssembler& line = client.Input.Line;
  WalkInputLines(context, client, now);
  if (line.Ready > 0) return;
  char notice[kNoticeBytes];
  FormatDisconnected(*context.Server, client.Address, notice);
  PushNotice(context, notice);
  client.Departed = false;
  ResetLine(line);
}

void TakeInput(SessionContext& context, ClientState& client, char* bytes, std::size_t length) {
  if (client.Phase != ClientPhase::kPassword && client.Phase != ClientPhase::kListed) return;
  ArmReceiveTimeout(context, client);
  bytes[length] = '\0';
  length = FilterTelnet(client.Input.Telnet, bytes, length, AnswerTelnet, &client);
  const PieceOutcome outcome = AddPiece(client.Input.Line, bytes, length);
  if (outcome.NoMemory) {
    // The piece is lost, so the line is not what the developer typed (there may be no line
    // at all): nothing of it is taken, and the client is dropped at the loop's next turn.
    if (client.Output.Drop == ClientDrop::kNone) client.Output.Drop = ClientDrop::kNoMemory;
    return;
  }
  if (client.Phase == ClientPhase::kPassword) {
    client.Input.LineOverflowed =
        client.Input.LineOverflowed || outcome.Overflowed;  // no attempt at all
    if (outcome.Complete) CheckPassword(context, client);
    return;
  }
  if (outcome.Overflowed) ReportOverflow(context, client);
  RunInputLines(context, client);
}

void RunTimers(SessionContext& context, ClientState& client) {
  if (client.Phase == ClientPhase::kAdmitted && CanList(context, client)) Admit(context, client);
  if (client.Phase == ClientPhase::kPassword && context.Now >= client.Gate.PromptDeadline) {
    QueueNotice(client, "QC_ERROR: Password timed out");
    client.Phase = ClientPhase::kClosing;
    return;
  }
  if (Reading(client) && client.Input.ReceiveDeadline != 0 &&
      context.Now >= client.Input.ReceiveDeadline) {
    WriteDiagnostic(kTimedOut);
    QueueToClient(client, kTimedOut, std::strlen(kTimedOut));
    ArmReceiveTimeout(context, client);
  }
  if (client.Overflow.Folded > 0 && context.Now >= client.Overflow.NoticeAt + kOverflowFoldMillis) {
    AnnounceFoldedOverflows(context, client);
  }
}

std::int64_t NextTimer(const SessionContext& context, const ClientState& client) {
  std::int64_t next = 0;
  const auto nearest = [&next](std::int64_t at) {
    if (at != 0 && (next == 0 || at < next)) next = at;
  };
  if (Reading(client)) nearest(client.Input.ReceiveDeadline);
  if (client.Phase == ClientPhase::kPassword) nearest(client.Gate.PromptDeadline);
  if (client.Phase == ClientPhase::kAdmitted) {
    // Held back by another console's wrong password, it looks again soon; this console's own
    // answers run before the timers of the same turn.
    if (CanList(context, client)) {
      nearest(context.Now);
    } else if (RefusalsPrecede(client)) {
      nearest(context.Now + kGateRecheckMillis);
    }
  }
  if (client.Overflow.Folded > 0) nearest(client.Overflow.NoticeAt + kOverflowFoldMillis);
  // Lines left for a later turn are taken up at once, with a new share: commands beyond this
  // turn's, and lines that waited for a stack that takes them now. (A stack that takes none
  // wakes the loop when the host makes room: WantsSlot.)
  const bool commandsLeft = client.Input.Line.Ready > client.Input.WaitingForStack &&
                            CommandCanGo(client, kCommandsPerTurn);
  if (commandsLeft || (client.Input.WaitingForStack > 0 && StackTakesLines(context))) {
    nearest(context.Now);
  }
  return next;
}

void EndSession(SessionContext& context, ClientState& client) {
  if (client.Overflow.Folded > 0) AnnounceFoldedOverflows(context, client);
  if (client.Phase == ClientPhase::kListed) UnlistClient(context, client, client.Address);
  if (client.Phase == ClientPhase::kRefusing) LeavePasswordGate(client);
  client.Phase = ClientPhase::kClosing;
  client.CloseNow = true;
}

}  // namespace qc
