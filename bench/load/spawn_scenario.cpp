// Spawn cost and frame cost. Spawning 100 consoles (time until every console listens and the
// threads the spawns started are all running; the resident memory and threads they add), each
// in a fresh process. Its baseline is what the consoles of an earlier design cost: 100 x 101
// idle threads with 1 MiB stacks. The same scenario runs against an earlier build of the
// library too (the load program's --before-library). Then the host's frame with 100 consoles
// and nothing pending (one GetNextMessage per console) against the bare loop over the same
// 100 GoIDs.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr int kConsoles = 100;
constexpr unsigned kFirstGoid = 9001;
constexpr int kBatches = 20;       // per round and kind
constexpr int kBatchFrames = 100;  // per batch
// The idle-thread baseline: the threads and stack of a console of the earlier design, which
// started a parked listener and 100 workers at spawn, each with a 1 MiB stack.
constexpr int kOldThreadsPerConsole = 101;
constexpr std::size_t kOldStackBytes = 1024 * 1024;
constexpr int kStartMillis = 60000;
constexpr int kQuietMillis = 20000;
// The thread count counts as settled once it has not changed for this long (and then no thread
// runs). This holds for any design: one that starts threads after its port is open too.
constexpr int kSteadyMillis = 300;

// The least a host's frame can do for 100 consoles: find the console by a linear scan of the
// GoIDs and test its pending count with one atomic load.
struct BareTable {
  std::uint32_t goids[kConsoles];
  std::atomic<int> pending[kConsoles];
  int count;
};

__attribute__((noinline)) bool BarePoll(const BareTable& table, std::uint32_t goid) {
  for (int i = 0; i < table.count; ++i) {
    if (table.goids[i] == goid) return table.pending[i].load(std::memory_order_acquire) != 0;
  }
  return false;
}

BareTable g_table;

void* IdleThread(void*) {
  for (;;) pause();
}

// Reports the time the threads took to start, then, once they have all settled, the resident
// memory and the threads they added.
void ReportProcessCost(const char* who, std::int64_t elapsedNanos, int threadsBefore,
                       long residentBefore) {
  const double millis = static_cast<double>(elapsedNanos) / 1e6;
  if (!WaitUntilQuiet(kQuietMillis)) std::fprintf(stderr, "%s: threads still running\n", who);
  ReportFigure(std::string("spawn.") + who + ".ms", millis);
  ReportFigure(std::string("spawn.") + who + ".rss_kib",
               static_cast<double>(ResidentKiB() - residentBefore));
  ReportFigure(std::string("spawn.") + who + ".threads",
               static_cast<double>(ThreadCount() - threadsBefore));
}

struct SpawnTimes {
  std::int64_t listening = -1;  // ns from start until every console listened; -1: never
  std::int64_t settled = -1;    // ns until that and the last thread start; -1: never
};

// Watches the process from start until every console listens on its port and the thread
// count has stayed the same for kSteadyMillis. Only a console with a thread can listen, so
// the ports are looked at once the process has at least a thread per console.
SpawnTimes WaitForConsoles(std::int64_t start, int port, int threadsBefore) {
  SpawnTimes times;
  std::int64_t lastChange = start;
  int lastCount = threadsBefore;
  WaitFor(MillisLeft(start + std::int64_t{kStartMillis} * 1000000), 1000, [&] {
    const int count = ThreadCount();
    const std::int64_t now = NowNanos();
    if (count != lastCount) {
      lastCount = count;
      lastChange = now;
    }
    if (times.listening < 0 && count >= threadsBefore + kConsoles &&
        CountListeningPorts(port, kConsoles) == kConsoles) {
      times.listening = NowNanos() - start;
    }
    if (times.listening < 0 || now - lastChange < std::int64_t{kSteadyMillis} * 1000000) {
      return false;
    }
    times.settled = std::max(lastChange - start, times.listening);
    return true;
  });
  return times;
}

}  // namespace

int RunSpawnScenario(const Options& options) {
  loader::ConsoleApi api{};
  if (!LoadLibrary(options.library, api)) return 1;
  const int port = options.basePort + kSpawnPortOffset;
  if (!EnterScratchDirectory(port)) return 1;

  const int threadsBefore = ThreadCount();
  const long residentBefore = ResidentKiB();
  const std::int64_t start = NowNanos();
  int spawned = 0;
  for (int i = 0; i < kConsoles; ++i) {
    char name[] = "spawned";
    if (api.SpawnServer(kFirstGoid + static_cast<unsigned>(i), name)) ++spawned;
  }
  const SpawnTimes times = WaitForConsoles(start, port, threadsBefore);
  LeaveScratchDirectory();  // the profile is read at spawn only
  if (spawned != kConsoles || times.settled < 0) {
    return Fail("spawn: %d of %d consoles spawned, %d listening, %d threads (ports %d to %d)",
                spawned, kConsoles, CountListeningPorts(port, kConsoles),
                ThreadCount() - threadsBefore, port, port + kConsoles - 1);
  }
  ReportFigure("spawn.library.listen_ms", static_cast<double>(times.listening) / 1e6);
  const int threadsSettled = ThreadCount();
  ReportProcessCost("library", times.settled, threadsBefore, residentBefore);
  if (ThreadCount() != threadsSettled) {
    return Fail("spawn: threads were still starting after %d ms without one", kSteadyMillis);
  }

  std::uint32_t goids[kConsoles];
  for (int i = 0; i < kConsoles; ++i) {
    goids[i] = kFirstGoid + static_cast<unsigned>(i);
    g_table.goids[i] = goids[i];
  }
  g_table.count = kConsoles;
  long long found = 0;  // stays 0: nothing is pending anywhere
  // As for the fan-out, each round alternates short batches of frames of the two kinds.
  for (int round = 0; round < options.repeats; ++round) {
    // 0: library, 1: bare loop.
    const auto spent = AlternateBatches(kBatches, kBatchFrames, [&](int kind) {
      for (std::uint32_t goid : goids) {
        found += kind == 0 ? (api.GetNextMessage(goid)[0] != '\0') : BarePoll(g_table, goid);
      }
    });
    const double frames = double{kBatches} * kBatchFrames;
    ReportFigure("frame.library.ns", static_cast<double>(spent[0]) / frames);
    ReportFigure("frame.bare.ns", static_cast<double>(spent[1]) / frames);
  }
  if (found != 0) return Fail("frame: %lld polls found a message where none was pending", found);
  return 0;
}

int RunIdleThreadsScenario(const Options& /*options*/) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0 ||
      pthread_attr_setstacksize(&attributes, kOldStackBytes) != 0 ||
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0) {
    return 1;
  }
  const int wanted = kConsoles * kOldThreadsPerConsole;
  const int threadsBefore = ThreadCount();
  const long residentBefore = ResidentKiB();
  const std::int64_t start = NowNanos();
  int created = 0;
  for (int i = 0; i < wanted; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, &attributes, IdleThread, nullptr) == 0) ++created;
  }
  pthread_attr_destroy(&attributes);
  const bool running =
      WaitFor(kStartMillis, 1000, [&] { return ThreadCount() >= threadsBefore + wanted; });
  const std::int64_t elapsed = NowNanos() - start;
  if (created != wanted || !running) return Fail("idle threads: %d of %d created", created, wanted);
  ReportProcessCost("idle", elapsed, threadsBefore, residentBefore);
  return 0;
}

}  // namespace qc::load
