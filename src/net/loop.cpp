// The console's loop: wait, dispatch, timers.
#include "net/loop.h"

#include <new>
#include <type_traits>

#include "common/diagnostic.h"
#include "common/fixed_text.h"
#include "common/locks.h"
#include "net/broadcast.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/send_policy.h"
#include "net/sockets.h"

namespace qc {

struct ConsoleLoop {
  ConsoleServer* Server;
  // The connections, and after them in the same array those that departed with typed lines
  // still waiting (DepartedCount of them, kept in no particular place).
  ClientState* Connections[kMaxConnections + kMostDeparted];
  int ConnectionCount;
  int DepartedCount;
  platform::PollEntry Entries[platform::kMaxPollEntries];
  ClientState* EntryClients[platform::kMaxPollEntries];
  InboxBatch Batch;
  RefusalNotices Refusals;
  WaitingNotices Notices;
  // Accepting: the clock time before which no accept is tried (a back-off after a failure),
  // the next pause, and whether a failure of an unknown kind was reported since the last
  // connection was taken.
  std::int64_t AcceptAt;
  int AcceptPause;
  bool AcceptFailureReported;
  // One received piece, with room for the telnet filter's extra byte and a NUL.
  char Received[kTextBytes + 1];
  char Scratch[kTextBytes];
  char Stage[kStageBytes];
};

namespace {

static_assert(kMaxConnections + 2 <= platform::kMaxPollEntries,
              "the waker, the listening socket and every connection fit one wait");
static_assert(std::is_trivially_destructible_v<ConsoleLoop>,
              "the loop's pages are never given back, and hold nothing to destroy");

SessionContext ContextFor(ConsoleLoop& loop, std::int64_t now) {
  return SessionContext{loop.Server,      now,
                        loop.Scratch,     &loop.Batch,
                        loop.Connections, loop.ConnectionCount,
                        &loop.Refusals,   &loop.Notices};
}

// How many connections the console takes now (see kMaxConnections).
int ConnectionLimit(const ConsoleServer& server) {
  return server.Password[0] == '\0' ? kMaxClients : kMaxConnections;
}

// Whether another connection may be taken: those that departed hold no place.
bool HasRoom(const ConsoleLoop& loop) {
  return loop.ConnectionCount - loop.DepartedCount < ConnectionLimit(*loop.Server);
}

// Writes the diagnostic line that names a dropped client and why.
void ReportDrop(const char* reason, const ClientState& client) {
  char line[96];
  FormatText(line, sizeof line, "QC_ERROR: %s (IP: %s)\n", reason, client.Address);
  WriteDiagnostic(line);
}

void Accept(ConsoleLoop& loop, std::int64_t now) {
  ConsoleServer& server = *loop.Server;
  const Socket listening = server.ListenSocket.load(std::memory_order_relaxed);
  for (int taken = 0; taken < kAcceptsPerTurn && HasRoom(loop); ++taken) {
    const Socket s = AcceptClient(listening);
    if (s == platform::kAcceptNone) return;
    // A connection reset or refused before it was taken costs nobody a pause: the next one
    // is taken at once.
    if (s == platform::kAcceptSkipped) continue;
    if (s < 0) {
      // Out of descriptors or memory for now, reported each time; or a failure of a kind the
      // console does not know, reported once. Either way accepting is tried again after a
      // pause that doubles up to a second, so that it is never spun on and never given up.
      if (s == platform::kAcceptAgain || !loop.AcceptFailureReported) {
        WriteDiagnostic("QC_ERROR: accept() failed\n");
      }
      loop.AcceptFailureReported = loop.AcceptFailureReported || s != platform::kAcceptAgain;
      loop.AcceptAt = now + loop.AcceptPause;
      loop.AcceptPause = loop.AcceptPause * 2 < kLongestAcceptPauseMillis
                             ? loop.AcceptPause * 2
                             : kLongestAcceptPauseMillis;
      return;
    }
    loop.AcceptPause = kFirstAcceptPauseMillis;
    loop.AcceptFailureReported = false;
    // Best effort: without them the connection works, only with the system's own defaults.
    (void)platform::TuneConnection(s, kSocketSendBufferBytes, kKeepAliveIdleSeconds,
                                   kKeepAliveIntervalSeconds, kKeepAliveProbes);
    ClientState* client = NewClientState(s);
    if (client == nullptr) {
      WriteDiagnostic("QC_ERROR: out of memory for a new connection\n");
      (void)CloseClient(s);
      continue;
    }
    GetPeerAddressText(s, client->Address);
    loop.Connections[loop.ConnectionCount++] = client;
    SessionContext context = ContextFor(loop, now);
    BeginSession(context, *client);
  }
}

void Receive(ConsoleLoop& loop, ClientState& client, std::int64_t now) {
  const int n = platform::ReceiveSomeNow(client.Connection, loop.Received, kReceiveBytes);
  if (n == platform::kWouldBlock) return;
  if (client.Phase == ClientPhase::kLingering) {
    // What a leaving client still sends is dropped; its end of stream closes it.
    if (n <= 0) client.CloseNow = true;
    return;
  }
  SessionContext context = ContextFor(loop, now);
  if (n > 0) {
    TakeInput(context, client, loop.Received, static_cast<std::size_t>(n));
    return;
  }
  if (n == 0 && client.Phase == ClientPhase::kRefusing) {
    // It may have only shut its sending side: the answer still goes to it when its turn comes.
    client.Input.Ended = true;
    return;
  }
  // A developer who closed the terminal leaves without an error.
  if (n < 0) WriteDiagnostic("QC_ERROR: recv() failed\n");
  EndSession(context, client);
}

// Sends what the client's socket takes now, when the send policy says to try, and drops the
// client when the policy says its time is up.
void Flush(ConsoleLoop& loop, ClientState& client, std::int64_t now) {
  const ConsoleServer& server = *loop.Server;
  if (client.Output.Queue.Count == 0) {
    client.Output.StalledSince = 0;
    return;
  }
  SendTry attempt{};
  if (ShouldTrySend(server, client, now)) {
    attempt.Tried = true;
    attempt.Late = client.Output.Blocked;
    attempt.QueuedBefore = client.Output.Queue.Bytes;
    client.Output.TriedAt = now;
    attempt.Result = FlushQueue(client.Output.Queue, client.Connection, platform::SendSomeNow,
                                loop.Stage, sizeof loop.Stage, attempt.Progressed);
    if (attempt.Result == FlushResult::kReset || attempt.Result == FlushResult::kFailed) {
      // A reset is reported with the line every reset gets, whether the client's receive or,
      // as here, its output met it first.
      WriteDiagnostic(attempt.Result == FlushResult::kReset ? "QC_ERROR: recv() failed\n"
                                                            : "QC_ERROR: send() failed\n");
      SessionContext context = ContextFor(loop, now);
      EndSession(context, client);
      return;
    }
  }
  if (JudgeSend(server, client, now, attempt) == SendVerdict::kTimedOut) {
    ReportDrop("send() timed out", client);
    SessionContext context = ContextFor(loop, now);
    EndSession(context, client);
  }
}

// Closes every connection the same way: a leaving client's output has gone out, so its sending
// side is shut down (the client reads the end of the stream after the last line) and what it
// still sends is dropped until it closes or kLingerMillis pass; a broken or dropped one is
// closed at once. True when the connection is gone.
bool CloseWhenDone(ConsoleLoop& loop, int index, std::int64_t now) {
  ClientState& client = *loop.Connections[index];
  if (!client.CloseNow && client.Phase == ClientPhase::kClosing && client.Output.Queue.Count == 0) {
    if (platform::ShutdownSending(client.Connection) != 0) {
      client.CloseNow = true;  // GCOVR_EXCL_LINE: only a reset since the turn's read fails it
    } else {
      client.Phase = ClientPhase::kLingering;
      client.LingerUntil = now + kLingerMillis;
    }
  }
  if (client.Phase == ClientPhase::kDeparted) {
    if (client.Departed) return false;  // its lines still wait
    --loop.DepartedCount;
  } else {
    const bool done =
        client.CloseNow || (client.Phase == ClientPhase::kLingering && now >= client.LingerUntil);
    if (!done) return false;
    (void)CloseClient(client.Connection);
    if (client.Departed) {
      if (loop.DepartedCount < kMostDeparted) {
        // Gone, but its typed lines still wait for the stack: it keeps no socket and no place.
        client.Phase = ClientPhase::kDeparted;
        client.Connection = -1;
        client.CloseNow = false;
        ++loop.DepartedCount;
        return false;
      }
      SessionContext context = ContextFor(loop, now);
      PushDepartedLines(context, client, true);
    }
  }
  DeleteClientState(&client);
  loop.Connections[index] = loop.Connections[--loop.ConnectionCount];
  return true;
}

// Drops, timers, waiting input and output of every connection; closes the ones that are done.
void ServiceConnections(ConsoleLoop& loop, std::int64_t now) {
  const ConsoleServer& server = *loop.Server;
  {
    SessionContext context = ContextFor(loop, now);
    PushWaitingNotices(context);
    RunPasswordGate(context);
  }
  for (int i = 0; i < loop.ConnectionCount;) {
    ClientState& client = *loop.Connections[i];
    SessionContext context = ContextFor(loop, now);
    client.Input.CommandsLeft = kCommandsPerTurn;
    if (!client.CloseNow) RunTimers(context, client);
    if (client.Departed) {
      PushDepartedLines(context, client, false);
    } else if (!client.CloseNow) {
      RunInputLines(context, client);
    }
    if (!client.CloseNow) JudgeOutput(server, client, now);
    if (!client.CloseNow && client.Output.Drop != ClientDrop::kNone) {
      ReportDrop(
          client.Output.Drop == ClientDrop::kBufferFull ? "send buffer full" : "out of memory",
          client);
      EndSession(context, client);
    }
    if (!client.CloseNow && client.Phase != ClientPhase::kLingering &&
        client.Phase != ClientPhase::kDeparted) {
      Flush(loop, client, now);
    }
    if (!CloseWhenDone(loop, i, now)) ++i;
  }
}

// With notices or typed lines waiting for a stack that takes none, asks the host's next pop (or
// its look at an empty stack) to wake the loop. True when the stack took them before the
// request was seen, so that the loop must not sleep.
bool WaitsForSlot(ConsoleLoop& loop, const SessionContext& context) {
  ConsoleServer& server = *loop.Server;
  bool lines = false;
  for (int i = 0; i < loop.ConnectionCount && !lines; ++i) {
    lines = loop.Connections[i]->Input.WaitingForStack > 0 || loop.Connections[i]->Departed;
  }
  if (loop.Notices.Count == 0 && !lines) return false;
  server.WantsSlot.store(true, std::memory_order_seq_cst);
  const bool room = server.StackOpen.load(std::memory_order_seq_cst) &&
                    server.PendingCount.load(std::memory_order_seq_cst) < kMaxPending;
  return room && (loop.Notices.Count > 0 || StackTakesLines(context));
}

// Fills the wait's entries and returns their count; deadline gets the nearest timer (0: none).
int PrepareWait(ConsoleLoop& loop, std::int64_t now, bool& accepting, std::int64_t& deadline) {
  const ConsoleServer& server = *loop.Server;
  int count = 0;
  loop.Entries[count] =
      platform::PollEntry{platform::WakerSocket(server.Waker), true, false, false, false};
  loop.EntryClients[count++] = nullptr;
  deadline = 0;
  const bool room = HasRoom(loop);
  accepting = room && now >= loop.AcceptAt;
  if (accepting) {
    loop.Entries[count] = platform::PollEntry{server.ListenSocket.load(std::memory_order_relaxed),
                                              true, false, false, false};
    loop.EntryClients[count++] = nullptr;
  } else if (room) {
    deadline = loop.AcceptAt;
  }
  const SessionContext context = ContextFor(loop, now);
  deadline = Nearest(deadline, NextGateTimer(context));
  if (WaitsForSlot(loop, context)) deadline = Nearest(deadline, now);  // room came meanwhile
  for (int i = 0; i < loop.ConnectionCount; ++i) {
    ClientState& client = *loop.Connections[i];
    if (client.Phase == ClientPhase::kDeparted) continue;  // no socket; WantsSlot wakes it
    const bool lingering = client.Phase == ClientPhase::kLingering;
    const bool read = lingering || WantsInput(context, client);
    const bool write = !lingering && client.Output.Queue.Count > 0;
    deadline = Nearest(deadline, NextTimer(context, client));
    if (lingering) deadline = Nearest(deadline, client.LingerUntil);
    deadline = Nearest(deadline, NextSendDeadline(server, client));
    if (!read && !write) continue;
    loop.Entries[count] = platform::PollEntry{client.Connection, read, write, false, false};
    loop.EntryClients[count++] = &client;
  }
  return count;
}

[[noreturn]] void RunLoop(ConsoleLoop& loop) {
  ConsoleServer& server = *loop.Server;
  loop.AcceptPause = kFirstAcceptPauseMillis;
  bool waitFailureReported = false;
  for (;;) {
    std::int64_t now = platform::MonotonicMillis();
    HandOutInbox(server, loop.Batch);
    ServiceConnections(loop, now);
    bool accepting = false;
    std::int64_t deadline = 0;
    const int count = PrepareWait(loop, now, accepting, deadline);
    int millis = -1;
    if (deadline != 0) {
      const std::int64_t left = deadline - now;
      millis = left <= 0 ? 0 : left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
    }
    if (platform::WaitForEvents(loop.Entries, count, millis) < 0) {
      if (!waitFailureReported) WriteDiagnostic("QC_ERROR: select() failed\n");
      waitFailureReported = true;
      (void)platform::WaitForEvents(loop.Entries, 0, kFailedWaitPauseMillis);
      continue;
    }
    now = platform::MonotonicMillis();
    if (loop.Entries[0].isReadable) {
      // Cleared before the inbox is emptied: a line queued after this is signalled again.
      platform::DrainWaker(server.Waker);
      server.WakePending.store(false, std::memory_order_seq_cst);
      HandOutInbox(server, loop.Batch);
    }
    if (accepting && loop.Entries[1].isReadable) Accept(loop, now);
    for (int i = 0; i < count; ++i) {
      ClientState* client = loop.EntryClients[i];
      if (client == nullptr) continue;
      if (loop.Entries[i].isWritable) client->Output.Blocked = false;
      // Read only what was asked for: a client held back keeps its bytes in the system.
      if (loop.Entries[i].wantRead && loop.Entries[i].isReadable && !client->CloseNow) {
        Receive(loop, *client, now);
      }
    }
  }
}

}  // namespace

bool StartConsole(ConsoleServer& server) {
  // Nobody is listed on a console without a loop, so no host call reaches for its waker: what
  // was made for it is given back, and a host that spawns again and again keeps no descriptors.
  platform::Waker* waker = platform::CreateWaker();
  void* pages = platform::AllocatePages(sizeof(ConsoleLoop));
  if (waker != nullptr && pages != nullptr) {
    server.Waker = waker;
    // Default-initialisation writes nothing: the pages stay zero and cost no memory until used.
    server.Loop = new (pages) ConsoleLoop;
    server.Loop->Server = &server;
    if (platform::StartThread(ConsoleThread, &server, kConsoleStackBytes)) return true;
    server.Loop = nullptr;
    server.Waker = nullptr;
  }
  if (pages != nullptr) platform::FreePages(pages, sizeof(ConsoleLoop));
  if (waker != nullptr) platform::DestroyWaker(waker);
  return false;
}

void ConsoleThread(void* argument) {
  auto& server = *static_cast<ConsoleServer*>(argument);
  {
    MutexHold hold(server.StateLock);
    const Socket listening =
        server.ListenRefused
            ? -1
            : CreateListenSocket(static_cast<std::uint16_t>(server.Port), server.ListenAddress);
    server.ListenSocket.store(listening, std::memory_order_release);
    if (listening < 0) {
      // Nobody can ever be listed here, so no host call reaches for the waker: the console
      // gives back what its loop would have used, as a refused start does.
      platform::FreePages(server.Loop, sizeof(ConsoleLoop));
      platform::DestroyWaker(server.Waker);
      server.Loop = nullptr;
      server.Waker = nullptr;
      return;
    }
  }
  RunLoop(*server.Loop);
}

}  // namespace qc
