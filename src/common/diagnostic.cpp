// Diagnostic lines go through stdio's stderr: at once when the stream takes them without
// waiting and nothing is queued before them, otherwise through a queue that one writer thread
// empties in order. A console's loop therefore never waits for a reader of standard error.
#include "common/diagnostic.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/fixed_text.h"
#include "common/locks.h"

namespace qc {
namespace {

constexpr std::size_t kWriterStackBytes = 64 * 1024;

// Plain data, zero before any code runs: the Windows DLL runs no constructor at load. Changed
// only under Lock.
struct DiagnosticQueue {
  std::atomic<Mutex*> Lock;
  char Lines[kWaitingDiagnostics][kDiagnosticBytes];
  int Head;
  int Count;
  int Lost;      // lines that found the queue full, not yet reported
  bool Writing;  // the writer is writing a line it took
  platform::Waker* Waker;
  bool WriterRunning;
};

DiagnosticQueue& Queue() {
  static DiagnosticQueue queue;  // zero-initialised before any code runs
  return queue;
}

void WriteNow(const char* text) {
  (void)std::fwrite(text, 1, std::strlen(text), stderr);
  (void)std::fflush(stderr);
}

// Takes the next line to write into line; false when there is none. The caller holds Lock.
bool TakeLine(DiagnosticQueue& queue, char* line) {
  if (queue.Count > 0) {
    CopyText(line, kDiagnosticBytes, queue.Lines[queue.Head]);
    queue.Head = (queue.Head + 1) % kWaitingDiagnostics;
    --queue.Count;
    return true;
  }
  if (queue.Lost == 0) return false;
  FormatText(line, kDiagnosticBytes,
             "QC_ERROR: %d diagnostic lines lost: standard error took none of them\n", queue.Lost);
  queue.Lost = 0;
  return true;
}

void WriterThread(void*) {
  DiagnosticQueue& queue = Queue();
  char line[kDiagnosticBytes];
  for (;;) {
    platform::PollEntry entry{platform::WakerSocket(queue.Waker), true, false, false, false};
    (void)platform::WaitForEvents(&entry, 1, -1);
    platform::DrainWaker(queue.Waker);
    for (;;) {
      {
        MutexHold hold(queue.Lock.load(std::memory_order_acquire));
        queue.Writing = TakeLine(queue, line);
        if (!queue.Writing) break;
      }
      WriteNow(line);  // may wait as long as the reader takes; nothing else waits for it
    }
  }
}

// Starts the writer once; false when it cannot be started now (a later line tries again).
bool StartWriter(DiagnosticQueue& queue) {
  if (queue.WriterRunning) return true;
  if (queue.Waker == nullptr) queue.Waker = platform::CreateWaker();
  if (queue.Waker == nullptr) return false;
  queue.WriterRunning = platform::StartThread(WriterThread, nullptr, kWriterStackBytes);
  return queue.WriterRunning;
}

}  // namespace

void WriteDiagnostic(const char* text) {
  DiagnosticQueue& queue = Queue();
  Mutex* lock = MutexMadeOnce(queue.Lock);
  if (lock == nullptr) {  // no lock to order lines with: stdio's own lock keeps them whole
    WriteNow(text);
    return;
  }
  MutexHold hold(lock);
  if (queue.Count == 0 && queue.Lost == 0 && !queue.Writing && platform::StandardErrorTakesNow()) {
    WriteNow(text);
    return;
  }
  if (queue.Count == kWaitingDiagnostics) {
    ++queue.Lost;
  } else {
    CopyText(queue.Lines[(queue.Head + queue.Count) % kWaitingDiagnostics], kDiagnosticBytes, text);
    ++queue.Count;
  }
  if (StartWriter(queue)) (void)platform::SignalWaker(queue.Waker);
}

}  // namespace qc
