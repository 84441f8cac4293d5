// Failure points of the platform layer, for the fault-injection build (QC_FAULT_INJECTION).
// Every platform call that can fail asks QC_FAULT(kind) first; in that build a test can make
// call number N of one kind fail, and the call then fails as the system would, with its error
// code set. In every other build QC_FAULT(kind) is the constant false and the checks vanish.
#pragma once

namespace qc::platform {

// The kinds of calls that can be made to fail, each counted on its own.
enum class FaultKind : int {
  kSocket,  // a new socket
  kBind,
  kListen,
  kAccept,   // fails as out of descriptors: a passing failure
  kReceive,  // fails as a connection reset
  kSend,     // fails as a broken connection
  kWait,     // the wait for readiness
  kWake,     // making the loop's waker, and signalling it
  kThread,   // starting a thread
  kMemory,   // AllocateMemory, AllocateZeroedMemory, ResizeMemory
  kPages,    // AllocatePages
  kMutex,    // a new mutex
  kProfile,  // reading one key of the profile: as an unreadable file
  kCount
};

#if defined(QC_FAULT_INJECTION)

// The kind's short name ("socket", "bind", ...); null for a kind out of range.
const char* FaultKindName(FaultKind kind);
// Counts one call of kind; true when it is the call that is to fail.
bool ShouldFail(FaultKind kind);
// Makes call number call (from 1, counted from now) of kind fail, once; every count starts
// again from 0. call 0 fails nothing and only counts.
void ArmFault(FaultKind kind, long call);
// Stops failing anything; the counts go on.
void DisarmFaults();
// The calls of kind counted since the last ArmFault.
long FaultCalls(FaultKind kind);
// Whether the armed call has failed.
bool FaultFired();

#define QC_FAULT(kind) ::qc::platform::ShouldFail(::qc::platform::FaultKind::kind)
#else
#define QC_FAULT(kind) false
#endif

}  // namespace qc::platform
