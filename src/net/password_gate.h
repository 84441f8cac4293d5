// The password gate: when an attempt at a console's password is answered. Every console asks for
// the same Password, so the gate's limits hold for the whole process: a wrong password is
// answered no sooner than a second after it was given, answers to one address come at most once
// a second and to all addresses at most kMostRefusalsPerSecond a second, across every console.
// A right password is answered as soon as the wrong ones its address gave before it have been;
// guesses that come after it never hold it back.
#pragma once

#include <cstdint>

#include "net/limits.h"
#include "net/sockets.h"
#include "platform/platform.h"

namespace qc {

struct ClientState;
struct SessionContext;

// A console's own part of the gate: the refusal notices for its host, folded to one a second.
// Zero at the start.
struct RefusalNotices {
  std::int64_t LastNoticeAt;              // 0: never
  int FoldedRefusals;                     // refusals since the last notice, not yet pushed
  char FoldedAddress[kAddressTextBytes];  // the latest of them
};

// The lock of the process-wide gate, made by the first call (the first spawn makes it, as it
// makes the registry lock); null when it cannot be made (a later call tries again). Two first
// calls at once both get the same lock. The gate holds it only for its own records and takes
// no other lock meanwhile.
platform::Mutex* PasswordGateLock();

// A wrong password from client (its phase kRefusing, AttemptAt the time it was given): it waits
// among the process's unanswered wrong passwords until RunPasswordGate answers it.
void HoldRefusal(ClientState& client);

// A right password from client (its phase kAdmitted): from now on, RefusalsPrecede tells
// whether wrong passwords its address gave before it still wait for their answer.
void HoldAdmission(ClientState& client);

// Whether an admitted client must still wait: a wrong password of its address, given before
// its right one, on this console or another, has not been answered yet.
bool RefusalsPrecede(const ClientState& client);

// A client that gave a wrong password leaves before its answer: the gate forgets the attempt,
// so that it holds back nobody. Every client in kRefusing passes here or through
// RunPasswordGate's answer before it is deleted.
void LeavePasswordGate(ClientState& client);

// Answers the console's wrong passwords whose turn has come at context.Now, oldest first, as
// far as the limits let, and pushes the folded refusal notice when it is due.
void RunPasswordGate(SessionContext& context);

// The earliest time at which RunPasswordGate has something to do; 0 for nothing.
std::int64_t NextGateTimer(const SessionContext& context);

}  // namespace qc
