// Fan-out: N clients (1, 10 or 100) stay connected to one console and keep reading, and the
// host calls BroadcastMsg and GetNextMessage against them:
// - every call timed on its own: BroadcastMsg of a 100-byte text, and GetNextMessage taking a
//   line that one of the clients typed a millisecond earlier (the call that echoes it to all N);
//   the host waits, off the clock, until the clients have read what it sent, so no queue grows;
// - with 100 clients, BroadcastMsg in batches against the same formatted line sent to 100 other
//   connections of the same clients with plain send calls (per client-send);
// - with 100 clients, lines delivered per second: the host broadcasts for a while as fast as the
//   clients read (never more than a window ahead of the slowest), against the plain send loop.
// A drain thread reads every client connection of both kinds for the whole run.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr unsigned kFanOutGoid = 5151;
constexpr int kManyClients = 100;      // the per-send and delivery figures use this many
constexpr int kBatches = 20;           // per round and kind
constexpr int kBatchBroadcasts = 20;   // per batch; kManyClients sends each
constexpr int kCallBatches = 20;       // per round and kind of timed call
constexpr int kCallBatch = 50;         // calls per batch
constexpr int kDeliveryMillis = 2000;  // per round and kind
constexpr int kDeliveryWindow = 400;   // lines the host may be ahead of the slowest client
constexpr char kTypedLine[] = "GetHealth()\n";
constexpr int kTypedLineWaitMillis = 1;  // from typing a line to the host's poll, off the clock

// Reads and discards everything that arrives on the client sockets (a Fleet on a thread of its
// own), counting bytes per client and per group (0: console clients, ids from 0; 1: baseline
// clients, ids from kManyClients), until stopped.
class Drain : public Fleet::Events {
 public:
  ~Drain() { Stop(); }
  bool Add(int s, int group) {
    const int id = group * kManyClients + count_[group]++;
    return s >= 0 && fleet_.Adopt(id, s);
  }
  // The fewest bytes any client of the group has received.
  long long LeastBytes(int group) const {
    long long least = -1;
    for (int i = group * kManyClients; i < group * kManyClients + count_[group]; ++i) {
      const long long bytes = client_[i].load(std::memory_order_relaxed);
      if (least < 0 || bytes < least) least = bytes;
    }
    return least < 0 ? 0 : least;
  }
  void Start() {
    thread_ = std::thread([this] {
      while (!stopping_.load(std::memory_order_relaxed)) fleet_.Wait(20, *this);
    });
  }
  void Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  long long Bytes(int group) const { return bytes_[group].load(); }
  void Received(int id, std::size_t n) override {
    bytes_[id / kManyClients].fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
    client_[id].fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
  }

 private:
  Fleet fleet_{2 * kManyClients, false};
  int count_[2] = {};
  std::atomic<long long> client_[2 * kManyClients] = {};
  std::atomic<bool> stopping_{false};
  std::atomic<long long> bytes_[2] = {};
  std::thread thread_;
};

// Waits (bounded) until every client of the group has received at least bytes.
bool WaitForEachClient(const Drain& drain, int group, long long bytes) {
  return WaitFor(20000, 200, [&] { return drain.LeastBytes(group) >= bytes; });
}

// Takes the next pending message, polling until one comes (bounded); returns the time of the
// call that took it, or -1 when none came.
std::int64_t TimeTakingCall(const loader::ConsoleApi& api) {
  const std::int64_t deadline = NowNanos() + std::int64_t{5000} * 1000000;
  for (;;) {
    const std::int64_t start = NowNanos();
    const char* message = api.GetNextMessage(kFanOutGoid);
    const std::int64_t took = NowNanos() - start;
    if (message[0] != '\0') return took;
    if (start > deadline) return -1;
  }
}

}  // namespace

int RunFanOutScenario(const Options& options, int clients) {
  loader::ConsoleApi api{};
  const auto port = static_cast<std::uint16_t>(options.basePort + kFanOutPortOffset);
  if (!SpawnInProcess(options, api, kFanOutGoid, "fan-out", port)) return 1;

  // The plain baseline's connections exist only where its figures are made.
  const bool many = clients == kManyClients;
  Drain drain;
  int typist = -1;  // the console client that types
  std::vector<int> plainServerSide;
  const int listening = many ? ListenLoopback(static_cast<std::uint16_t>(port + 10)) : -1;
  bool ok = !many || listening >= 0;
  for (int i = 0; i < clients && ok; ++i) {
    const int console = ConnectLoopback(port, 10000);
    ok = drain.Add(console, 0);
    if (typist < 0) typist = console;
    if (!many) continue;
    const int plain = ConnectLoopback(static_cast<std::uint16_t>(port + 10), 2000);
    const int accepted = plain >= 0 ? AcceptWithin(listening, 2000) : -1;
    ok = ok && accepted >= 0 && drain.Add(plain, 1);
    plainServerSide.push_back(accepted);
  }
  drain.Start();
  if (!ok || !TakeConnectedNotices(api, kFanOutGoid, clients)) {
    return Fail("fan-out: cannot attach %d clients to port %d", clients, port);
  }

  std::string text = "Health: 100, Position: (1, 2, 3), Target: none, State: idle";
  text.resize(99, '.');
  text += "\n";
  char line[256];
  std::memcpy(line + 8, " QC_MSG: ", 9);
  std::memcpy(line + 17, text.data(), text.size());
  const long long lineLength = static_cast<long long>(17 + text.size());
  const long long echoLength = 17 + static_cast<long long>(sizeof kTypedLine - 1);
  // What every console client has received once the console has sent all it was asked to: what
  // they have once nothing new came for 50 ms (at most 5 s).
  long long seen = -1;
  WaitFor(5000, 50000, [&] {
    const long long now = drain.Bytes(0);
    return std::exchange(seen, now) == now;
  });
  long long owed = drain.LeastBytes(0);
  const std::string calls = "calls.library.";
  const std::string suffix = "." + std::to_string(clients);

  // Every call on its own: batches of timed broadcasts and timed echoes alternate, so that both
  // meet the same load from the rest of the machine. Between batches the host waits, off the
  // clock, until the clients have read everything.
  for (int round = 0; round < options.repeats && ok; ++round) {
    std::vector<double> broadcasts, echoes;
    for (int batch = 0; batch < 2 * kCallBatches && ok; ++batch) {
      for (int c = 0; c < kCallBatch && ok; ++c) {
        if (batch % 2 == 0) {
          const std::int64_t start = NowNanos();
          api.BroadcastMsg(kFanOutGoid, text.data());
          broadcasts.push_back(static_cast<double>(NowNanos() - start));
          owed += lineLength;
        } else {
          // A game polls once a frame, not in a spin: the typed line has long been waiting when
          // the host asks. A spinning host would time its own collisions with the console
          // taking the line in (the echo scenario shows those).
          // Its last frame ended, as a draining game's does, by finding the stack empty: the
          // console takes typed lines in between a host's drains only.
          (void)api.GetNextMessage(kFanOutGoid);
          ok = SendWhole(typist, kTypedLine, sizeof kTypedLine - 1);
          std::this_thread::sleep_for(std::chrono::milliseconds(kTypedLineWaitMillis));
          const std::int64_t took = ok ? TimeTakingCall(api) : -1;
          ok = took >= 0;
          echoes.push_back(static_cast<double>(took));
          owed += echoLength;
        }
      }
      ok = ok && WaitForEachClient(drain, 0, owed);
    }
    if (!ok) break;
    ReportFigure(calls + "broadcast" + suffix + ".p50", Percentile(broadcasts, 50));
    ReportFigure(calls + "broadcast" + suffix + ".p99", Percentile(broadcasts, 99));
    ReportFigure(calls + "echo" + suffix + ".p50", Percentile(echoes, 50));
    ReportFigure(calls + "echo" + suffix + ".p99", Percentile(echoes, 99));
  }
  if (!ok) return Fail("fan-out: the %d clients did not receive every line", clients);
  if (!many) return 0;

  // One line to every client: 0, by BroadcastMsg; 1, by plain sends.
  const auto sendLine = [&](int kind) {
    if (kind == 0) {
      api.BroadcastMsg(kFanOutGoid, text.data());
      return;
    }
    WriteLocalTimestamp(line);
    for (int s : plainServerSide)
      ok = SendWhole(s, line, static_cast<std::size_t>(lineLength)) && ok;
  };
  // BroadcastMsg against plain sends, per client-send. Each round alternates short batches of
  // the two; a round's figure is the time of all its batches of one kind.
  for (int round = 0; round < options.repeats; ++round) {
    const auto spent = AlternateBatches(kBatches, kBatchBroadcasts, sendLine);
    const double sends = double{kBatches} * kBatchBroadcasts * kManyClients;
    ReportFigure("fanout.library.ns", static_cast<double>(spent[0]) / sends);
    ReportFigure("fanout.plain.ns", static_cast<double>(spent[1]) / sends);
  }
  // Every console client must have had every line: a broadcast to nobody proves nothing.
  owed += static_cast<long long>(options.repeats) * kBatches * kBatchBroadcasts * lineLength;
  long long plainOwed =
      static_cast<long long>(options.repeats) * kBatches * kBatchBroadcasts * lineLength;
  if (!ok || !WaitForEachClient(drain, 0, owed) || !WaitForEachClient(drain, 1, plainOwed)) {
    return Fail("fan-out: the clients did not receive every line");
  }

  // Lines delivered per second: broadcasts for a while, never more than a window of lines ahead
  // of the slowest client, timed until every client has read the last one.
  for (int round = 0; round < options.repeats && ok; ++round) {
    for (int kind = 0; kind < 2 && ok; ++kind) {
      long long& total = kind == 0 ? owed : plainOwed;
      const long long window = kDeliveryWindow * lineLength;
      const std::int64_t start = NowNanos();
      const std::int64_t stop = start + std::int64_t{kDeliveryMillis} * 1000000;
      long long sent = 0;
      while (NowNanos() < stop) {
        if (total - drain.LeastBytes(kind) >= window) {
          std::this_thread::yield();
          continue;
        }
        sendLine(kind);
        total += lineLength;
        ++sent;
      }
      ok = ok && WaitForEachClient(drain, kind, total);
      const double seconds = static_cast<double>(NowNanos() - start) / 1e9;
      ReportFigure(kind == 0 ? "delivery.library.lines_per_s" : "delivery.plain.lines_per_s",
                   static_cast<double>(sent) * kManyClients / seconds);
    }
  }
  if (!ok) return Fail("fan-out: the clients did not receive every delivered line");
  drain.Stop();
  for (int s : plainServerSide) CloseSocket(s);
  CloseSocket(listening);
  return 0;
}

}  // namespace qc::load
