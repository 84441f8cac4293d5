// Lock wrappers over the platform's recursive mutex: every lock of the library is taken and
// released through these, waiting without limit.
#pragma once

#include "platform/platform.h"

namespace qc {

using platform::Mutex;

inline void LockMutex(Mutex* mutex) { platform::LockRecursiveMutex(mutex); }
inline void UnlockMutex(Mutex* mutex) { platform::UnlockRecursiveMutex(mutex); }

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
