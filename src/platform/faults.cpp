// The fault registry: a count per kind and the one call to fail. Lock-free, since any thread
// of the library may ask at any time; compiled into the library only with QC_FAULT_INJECTION.
#include "platform/faults.h"

#include <atomic>

namespace qc::platform {
namespace {

constexpr int kKinds = static_cast<int>(FaultKind::kCount);

std::atomic<long> gCalls[kKinds];
std::atomic<int> gArmedKind{-1};
std::atomic<long> gArmedCall{0};
std::atomic<bool> gFired{false};

}  // namespace

const char* FaultKindName(FaultKind kind) {
  static const char* const kNames[kKinds] = {"socket", "bind",  "listen", "accept", "receive",
                                             "send",   "wait",  "wake",   "thread", "memory",
                                             "pages",  "mutex", "profile"};
  const int index = static_cast<int>(kind);
  return index >= 0 && index < kKinds ? kNames[index] : nullptr;
}

bool ShouldFail(FaultKind kind) {
  const int index = static_cast<int>(kind);
  const long call = gCalls[index].fetch_add(1, std::memory_order_relaxed) + 1;
  if (gArmedKind.load(std::memory_order_acquire) != index) return false;
  if (call != gArmedCall.load(std::memory_order_relaxed)) return false;
  gFired.store(true, std::memory_order_release);
  return true;
}

void ArmFault(FaultKind kind, long call) {
  gArmedKind.store(-1, std::memory_order_release);
  for (auto& calls : gCalls) calls.store(0, std::memory_order_relaxed);
  gFired.store(false, std::memory_order_relaxed);
  gArmedCall.store(call, std::memory_order_relaxed);
  if (call > 0) gArmedKind.store(static_cast<int>(kind), std::memory_order_release);
}

void DisarmFaults() { gArmedKind.store(-1, std::memory_order_release); }

long FaultCalls(FaultKind kind) {
  return gCalls[static_cast<int>(kind)].load(std::memory_order_relaxed);
}

bool FaultFired() { return gFired.load(std::memory_order_acquire); }

}  // namespace qc::platform
