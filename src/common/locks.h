// Lock wrappers over the platform's recursive mutex: every lock of the library is taken and
// released through these, waiting without limit.
#pragma once

#include <atomic>

#include "platform/platform.h"

namespace qc {

using platform::Mutex;

inline void LockMutex(Mutex* mutex) { platform::LockRecursiveMutex(mutex); }
inline void UnlockMutex(Mutex* mutex) { platform::UnlockRecursiveMutex(mutex); }

// The process-wide mutex kept in slot, made by the first call that finds none; null when it
// cannot be made. Two first calls at once make one each, and the one that loses gives its back.
inline Mutex* MutexMadeOnce(std::atomic<Mutex*>& slot) {
  Mutex* mutex = slot.load(std::memory_order_acquire);
  if (mutex != nullptr) return mutex;
  Mutex* made = platform::CreateRecursiveMutex();
  if (made == nullptr) return nullptr;
  if (slot.compare_exchange_strong(mutex, made, std::memory_order_acq_rel)) return made;
  // GCOVR_EXCL_START: only two first calls in the same instant get here
  platform::DestroyRecursiveMutex(made);
  return mutex;
  // GCOVR_EXCL_STOP
}

// Holds a mutex for the life of a scope.
class MutexHold {
 public:
  explicit MutexHold(Mutex* mutex) : mutex_(mutex) { LockMutex(mutex_); }
  ~MutexHold() { UnlockMutex(mutex_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  Mutex* mutex_;
};

}  // namespace qc
