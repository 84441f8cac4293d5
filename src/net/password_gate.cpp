// The password gate: one record for the whole process (PasswordGate), and each console's answers
// and its refusal notices for the host (RefusalNotices).
#include "net/password_gate.h"

#include <atomic>
#include <cstring>

#include "common/fixed_text.h"
#include "common/locks.h"
#include "net/broadcast.h"
#include "net/client.h"
#include "net/notices.h"
#include "server/console_server.h"

namespace qc {
namespace {

// Every wrong password that waits for its answer, in the order given. A console holds at most
// kMostWaitingAtPrompt connections at its prompt or waiting for an answer, so every console's
// fit.
constexpr int kMostWaitingRefusals = kMaxServers * kMostWaitingAtPrompt;

// The gate's record. Plain data, zero before any code runs: the Windows DLL runs no
// constructor at load. Changed only under Lock.
struct PasswordGate {
  std::atomic<platform::Mutex*> Lock;
  // Each attempt, wrong or right, takes the next number: the order in which they were given.
  std::uint64_t LastTicket;
  // The latest answers to wrong passwords, a ring: the one at NextAnswer is the oldest. No
  // more than kMostRefusalsPerSecond answers fall in any second, so an address answered in
  // the last second is among them.
  struct Answer {
    std::int64_t At;  // 0: none
    char Address[kAddressTextBytes];
  } Answers[kMostRefusalsPerSecond];
  int NextAnswer;
  struct Waiting {
    std::uint64_t Ticket;
    std::int64_t GivenAt;
    char Address[kAddressTextBytes];
  } Refusals[kMostWaitingRefusals];
  int RefusalCount;
  // The addresses answered last, each with its latest answer, a ring: addresses take turns,
  // the one answered longest ago (or never) first.
  struct Turn {
    std::int64_t At;  // 0: none
    char Address[kAddressTextBytes];
  } Turns[kRememberedTurns];
  int NextTurn;
};

PasswordGate& Gate() {
  static PasswordGate gate;  // zero-initialised before any code runs
  return gate;
}

// Runs use(gate) while holding the gate's lock, and returns what it returns; fallback when the
// lock was never made (the first spawn makes it, before any console runs).
template <typename Result, typename Use>
Result WithGate(Result fallback, Use use) {
  PasswordGate& gate = Gate();
  platform::Mutex* lock = gate.Lock.load(std::memory_order_acquire);
  if (lock == nullptr) return fallback;
  MutexHold hold(lock);
  return use(gate);
}

// When the address was last answered; 0 when not lately.
std::int64_t LastAnswered(const PasswordGate& gate, const char* address) {
  for (const auto& turn : gate.Turns) {
    if (turn.At != 0 && SameAddress(turn.Address, address)) return turn.At;
  }
  return 0;
}

void RememberTurn(PasswordGate& gate, const char* address, std::int64_t at) {
  for (auto& turn : gate.Turns) {
    if (turn.At != 0 && SameAddress(turn.Address, address)) {
      turn.At = at;
      return;
    }
  }
  PasswordGate::Turn& turn = gate.Turns[gate.NextTurn];
  turn.At = at;
  CopyText(turn.Address, sizeof turn.Address, address);
  gate.NextTurn = (gate.NextTurn + 1) % kRememberedTurns;
}

std::int64_t AnswerDue(const PasswordGate& gate, const char* address, std::int64_t givenAt);

// Whose turn it is among the wrong passwords that may be answered now: of each address only its
// oldest, and of those the one whose address was answered longest ago, the earliest given first.
// Null when none may be answered now.
const struct PasswordGate::Waiting* TurnHolder(const PasswordGate& gate, std::int64_t now) {
  const PasswordGate::Waiting* holder = nullptr;
  std::int64_t holderAnswered = 0;
  for (int i = 0; i < gate.RefusalCount; ++i) {
    const PasswordGate::Waiting& waiting = gate.Refusals[i];
    bool older = false;  // an earlier one of its address goes first
    for (int j = 0; j < i && !older; ++j) {
      older = SameAddress(gate.Refusals[j].Address, waiting.Address);
    }
    if (older || now < AnswerDue(gate, waiting.Address, waiting.GivenAt)) continue;
    const std::int64_t answered = LastAnswered(gate, waiting.Address);
    if (holder == nullptr || answered < holderAnswered) {
      holder = &waiting;
      holderAnswered = answered;
    }
  }
  return holder;
}

// The waiting wrong password with this ticket; null when there is none.
PasswordGate::Waiting* FindRefusal(PasswordGate& gate, std::uint64_t ticket) {
  for (int i = 0; i < gate.RefusalCount; ++i) {
    if (gate.Refusals[i].Ticket == ticket) return &gate.Refusals[i];
  }
  return nullptr;
}

// The oldest waiting wrong password of the address given before ticket; null for none.
const PasswordGate::Waiting* OlderRefusal(const PasswordGate& gate, const char* address,
                                          std::uint64_t ticket) {
  for (int i = 0; i < gate.RefusalCount; ++i) {  // kept in the order given
    const PasswordGate::Waiting& waiting = gate.Refusals[i];
    if (waiting.Ticket >= ticket) return nullptr;
    if (SameAddress(waiting.Address, address)) return &waiting;
  }
  return nullptr;
}

void RemoveRefusal(PasswordGate& gate, std::uint64_t ticket) {
  PasswordGate::Waiting* waiting = FindRefusal(gate, ticket);
  if (waiting == nullptr) return;
  const auto at = static_cast<std::size_t>(waiting - gate.Refusals);
  // The order given is kept: the ones after it move up.
  std::memmove(waiting, waiting + 1,
               (static_cast<std::size_t>(gate.RefusalCount) - at - 1) * sizeof *waiting);
  --gate.RefusalCount;
}

// When a wrong password from the address given at givenAt may be answered, as far as the
// pause, the address's last answer and the answers of the last second say.
std::int64_t AnswerDue(const PasswordGate& gate, const char* address, std::int64_t givenAt) {
  std::int64_t due = givenAt + kRefusalPauseMillis;
  for (const auto& answer : gate.Answers) {
    if (answer.At != 0 && SameAddress(answer.Address, address) &&
        answer.At + kRefusalPauseMillis > due) {
      due = answer.At + kRefusalPauseMillis;
    }
  }
  const std::int64_t oldest = gate.Answers[gate.NextAnswer].At;
  if (oldest != 0 && oldest + kRefusalPauseMillis > due) due = oldest + kRefusalPauseMillis;
  return due;
}

// Whether the client's wrong password may take the next answer as far as the turns go. One that
// found no room among the waiting ones is answered at its own pace.
bool HoldsTurn(const PasswordGate& gate, const ClientState& client, std::int64_t now) {
  const PasswordGate::Waiting* holder = TurnHolder(gate, now);
  return holder == nullptr || holder->Ticket == client.Gate.AttemptTicket ||
         FindRefusal(const_cast<PasswordGate&>(gate), client.Gate.AttemptTicket) == nullptr;
}

// When the client's wrong password may be answered; after now when another console's older
// refusal of the same address has to go first.
std::int64_t ClientAnswerDue(const PasswordGate& gate, const ClientState& client,
                             std::int64_t now) {
  std::int64_t due = AnswerDue(gate, client.Address, client.Gate.AttemptAt);
  const PasswordGate::Waiting* older =
      OlderRefusal(gate, client.Address, client.Gate.AttemptTicket);
  if (older != nullptr) {
    // That one is answered first, and this one a pause after it; if its console is late, this
    // one looks again soon.
    const std::int64_t after =
        AnswerDue(gate, older->Address, older->GivenAt) + kRefusalPauseMillis;
    if (after > due) due = after;
    if (due < now + kGateRecheckMillis) due = now + kGateRecheckMillis;
  }
  if (due <= now && !HoldsTurn(gate, client, now)) due = now + kGateRecheckMillis;
  return due;
}

// Answers the client's wrong password now if the gate lets it: true, with the answer recorded
// and the attempt forgotten.
bool TakeAnswer(const ClientState& client, std::int64_t now) {
  return WithGate(false, [&](PasswordGate& gate) {
    if (OlderRefusal(gate, client.Address, client.Gate.AttemptTicket) != nullptr) return false;
    if (now < AnswerDue(gate, client.Address, client.Gate.AttemptAt)) return false;
    if (!HoldsTurn(gate, client, now)) return false;
    // Consoles read their clocks at different moments: an answer is never recorded before the
    // latest one, so that the limits never loosen.
    const int newest = (gate.NextAnswer + kMostRefusalsPerSecond - 1) % kMostRefusalsPerSecond;
    PasswordGate::Answer& answer = gate.Answers[gate.NextAnswer];
    answer.At = now > gate.Answers[newest].At ? now : gate.Answers[newest].At;
    CopyText(answer.Address, sizeof answer.Address, client.Address);
    gate.NextAnswer = (gate.NextAnswer + 1) % kMostRefusalsPerSecond;
    RememberTurn(gate, client.Address, answer.At);
    RemoveRefusal(gate, client.Gate.AttemptTicket);
    return true;
  });
}

// Pushes the folded refusals as one notice: the first form for a single refusal, else the
// latest address and how many more came since the last notice.
void PushFoldedRefusals(SessionContext& context) {
  RefusalNotices& refusals = *context.Refusals;
  ConsoleServer& server = *context.Server;
  if (refusals.FoldedRefusals == 1) {
    FormatText(context.Scratch, kTextBytes,
               "QC_ERROR: %s refused: wrong password (Port %d, GoID: %d)", refusals.FoldedAddress,
               int{server.Port}, static_cast<int>(server.GoID));
  } else {
    FormatText(context.Scratch, kTextBytes,
               "QC_ERROR: %s refused: wrong password, %d more since the last notice (Port %d, "
               "GoID: %d)",
               refusals.FoldedAddress, refusals.FoldedRefusals - 1, int{server.Port},
               static_cast<int>(server.GoID));
  }
  PushNotice(context, context.Scratch);
  refusals.LastNoticeAt = context.Now;
  refusals.FoldedRefusals = 0;
}

// Tells the host of a refusal, at most one notice a second: a refusal that comes sooner is
// folded into the next notice.
void NoteRefusal(SessionContext& context, const char* address) {
  RefusalNotices& refusals = *context.Refusals;
  ++refusals.FoldedRefusals;
  CopyText(refusals.FoldedAddress, sizeof refusals.FoldedAddress, address);
  if (refusals.FoldedRefusals == 1 &&
      (refusals.LastNoticeAt == 0 || context.Now >= refusals.LastNoticeAt + kRefusalNoticeMillis)) {
    PushFoldedRefusals(context);
  }
}

void RefusePassword(SessionContext& context, ClientState& client) {
  QueueNotice(client, "QC_ERROR: Wrong password");
  client.Phase = ClientPhase::kClosing;
  NoteRefusal(context, client.Address);
}

}  // namespace

platform::Mutex* PasswordGateLock() { return MutexMadeOnce(Gate().Lock); }

void HoldRefusal(ClientState& client) {
  (void)WithGate(false, [&](PasswordGate& gate) {
    client.Gate.AttemptTicket = ++gate.LastTicket;
    // Every console's waiting refusals fit (see kMostWaitingRefusals); one that did not would
    // still be answered at its pace, only without holding back a right password.
    if (gate.RefusalCount == kMostWaitingRefusals) return false;
    PasswordGate::Waiting& waiting = gate.Refusals[gate.RefusalCount++];
    waiting.Ticket = client.Gate.AttemptTicket;
    waiting.GivenAt = client.Gate.AttemptAt;
    CopyText(waiting.Address, sizeof waiting.Address, client.Address);
    return true;
  });
}

void HoldAdmission(ClientState& client) {
  client.Gate.AttemptTicket =
      WithGate(client.Gate.AttemptTicket, [](PasswordGate& gate) { return ++gate.LastTicket; });
}

bool RefusalsPrecede(const ClientState& client) {
  return WithGate(false, [&](PasswordGate& gate) {
    return OlderRefusal(gate, client.Address, client.Gate.AttemptTicket) != nullptr;
  });
}

void LeavePasswordGate(ClientState& client) {
  (void)WithGate(false, [&](PasswordGate& gate) {
    RemoveRefusal(gate, client.Gate.AttemptTicket);
    return true;
  });
}

void RunPasswordGate(SessionContext& context) {
  RefusalNotices& refusals = *context.Refusals;
  // The refusals folded since the last notice go first; the ones answered now wait a second.
  if (refusals.FoldedRefusals > 0 && context.Now >= refusals.LastNoticeAt + kRefusalNoticeMillis) {
    PushFoldedRefusals(context);
  }
  // This console's wrong passwords in the order they were given, each answered if the gate
  // lets it now; an answer passes the turn on, so the pass goes again while one was given.
  for (bool answered = true; answered;) {
    answered = false;
    std::uint64_t after = 0;
    for (;;) {
      ClientState* next = nullptr;
      for (int i = 0; i < context.ConnectionCount; ++i) {
        ClientState* refused = context.Connections[i];
        if (refused->Phase != ClientPhase::kRefusing || refused->Gate.AttemptTicket <= after)
          continue;
        if (next == nullptr || refused->Gate.AttemptTicket < next->Gate.AttemptTicket)
          next = refused;
      }
      if (next == nullptr) break;
      after = next->Gate.AttemptTicket;
      if (TakeAnswer(*next, context.Now)) {
        RefusePassword(context, *next);
        answered = true;
      }
    }
  }
}

std::int64_t NextGateTimer(const SessionContext& context) {
  const RefusalNotices& refusals = *context.Refusals;
  const std::int64_t folded =
      refusals.FoldedRefusals > 0 ? refusals.LastNoticeAt + kRefusalNoticeMillis : 0;
  return WithGate(folded, [&](PasswordGate& gate) {
    std::int64_t next = folded;
    for (int i = 0; i < context.ConnectionCount; ++i) {
      const ClientState& refused = *context.Connections[i];
      if (refused.Phase != ClientPhase::kRefusing) continue;
      const std::int64_t due = ClientAnswerDue(gate, refused, context.Now);
      if (next == 0 || due < next) next = due;
    }
    return next;
  });
}

}  // namespace qc
