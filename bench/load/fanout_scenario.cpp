// Fan-out. 100 clients stay connected to one console and keep reading; the host calls
// BroadcastMsg with a 100-byte text again and again. Baseline in the same process: one thread
// sends the same formatted line to 100 connections of the same clients with plain send calls.
// A drain thread reads every client connection of both kinds for the whole run.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr unsigned kFanOutGoid = 5151;
constexpr int kClients = 100;
constexpr int kBatches = 20;          // per round and kind
constexpr int kBatchBroadcasts = 20;  // per batch; kClients sends each

// Reads and discards everything that arrives on the registered client sockets, counting bytes
// per group (0: console clients, 1: baseline clients), until stopped.
class Drain {
 public:
  Drain() : epoll_(epoll_create1(0)) {}
  ~Drain() {
    Stop();
    CloseSocket(epoll_);
  }
  bool Add(int s, int group) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = (static_cast<std::uint64_t>(group) << 32) | static_cast<std::uint32_t>(s);
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, s, &event) == 0;
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  long long Bytes(int group) const { return bytes_[group].load(); }

 private:
  void Run() {
    epoll_event events[64];
    char buffer[65536];
    while (!stopping_.load(std::memory_order_relaxed)) {
      const int ready = epoll_wait(epoll_, events, 64, 20);
      for (int i = 0; i < ready; ++i) {
        const int s = static_cast<int>(events[i].data.u64 & 0xffffffffu);
        const auto group = static_cast<int>(events[i].data.u64 >> 32);
        const ssize_t n = recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) bytes_[group].fetch_add(n, std::memory_order_relaxed);
      }
    }
  }

  int epoll_;
  std::atomic<bool> stopping_{false};
  std::atomic<long long> bytes_[2] = {};
  std::thread thread_;
};

// Waits (at most 5 s) until a group has received nothing new for 50 ms; returns its count.
long long SettledBytes(const Drain& drain, int group) {
  const std::int64_t deadline = NowNanos() + std::int64_t{5000} * 1000000;
  long long seen = drain.Bytes(group);
  while (NowNanos() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long long now = drain.Bytes(group);
    if (now == seen) break;
    seen = now;
  }
  return seen;
}

bool WaitForBytes(const Drain& drain, int group, long long bytes) {
  const std::int64_t deadline = NowNanos() + std::int64_t{20000} * 1000000;
  while (drain.Bytes(group) < bytes) {
    if (NowNanos() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

int RunFanOutScenario(const Options& options) {
  loader::ConsoleApi api{};
  if (!LoadLibrary(options.library, api)) return 1;
  const auto port = static_cast<std::uint16_t>(options.basePort + kFanOutPortOffset);
  char name[] = "fan-out";
  const bool spawned = EnterScratchDirectory(port) && api.SpawnServer(kFanOutGoid, name);
  LeaveScratchDirectory();
  if (!spawned) {
    std::fprintf(stderr, "fan-out: cannot spawn the console on port %d\n", port);
    return 1;
  }

  Drain drain;
  std::vector<int> consoleClients;
  std::vector<int> plainClients;
  std::vector<int> plainServerSide;
  const int listening = ListenLoopback(static_cast<std::uint16_t>(port + 10));
  bool ok = listening >= 0;
  for (int i = 0; i < kClients && ok; ++i) {
    const int console = ConnectLoopback(port, 10000);
    const int plain = ConnectLoopback(static_cast<std::uint16_t>(port + 10), 2000);
    const int accepted = plain >= 0 ? AcceptWithin(listening, 2000) : -1;
    ok = console >= 0 && plain >= 0 && accepted >= 0 && drain.Add(console, 0) &&
         drain.Add(plain, 1);
    consoleClients.push_back(console);
    plainClients.push_back(plain);
    plainServerSide.push_back(accepted);
  }
  drain.Start();
  if (!ok || !TakeConnectedNotices(api, kFanOutGoid, kClients)) {
    std::fprintf(stderr, "fan-out: cannot attach %d clients to ports %d and %d\n", kClients, port,
                 port + 10);
    return 1;
  }

  std::string text = "Health: 100, Position: (1, 2, 3), Target: none, State: idle";
  text.resize(99, '.');
  text += "\n";
  char line[256];
  std::memcpy(line + 8, " QC_MSG: ", 9);
  std::memcpy(line + 17, text.data(), text.size());
  const std::size_t lineLength = 17 + text.size();

  // Each round alternates short batches of the two, so that both meet the same load from the
  // rest of the machine; a round's figure is the time of all its batches of one kind.
  const long long consoleStart = SettledBytes(drain, 0);
  for (int round = 0; round < options.repeats; ++round) {
    std::int64_t spent[2] = {0, 0};  // 0: library, 1: plain sends
    for (int batch = 0; batch < 2 * kBatches; ++batch) {
      const int kind = (batch + batch / 2) % 2;  // library, plain, plain, library, ...
      const std::int64_t start = NowNanos();
      for (int b = 0; b < kBatchBroadcasts; ++b) {
        if (kind == 0) {
          api.BroadcastMsg(kFanOutGoid, text.data());
        } else {
          WriteLocalTimestamp(line);
          for (int s : plainServerSide) ok = SendWhole(s, line, lineLength) && ok;
        }
      }
      spent[kind] += NowNanos() - start;
    }
    const double sends = double{kBatches} * kBatchBroadcasts * kClients;
    ReportFigure("fanout.library.ns", static_cast<double>(spent[0]) / sends);
    ReportFigure("fanout.plain.ns", static_cast<double>(spent[1]) / sends);
  }
  // Every console client must have had every line: a broadcast to nobody proves nothing.
  const long long expected = static_cast<long long>(options.repeats) * kBatches *
                             kBatchBroadcasts * kClients * static_cast<long long>(lineLength);
  if (!ok || !WaitForBytes(drain, 0, consoleStart + expected) ||
      !WaitForBytes(drain, 1, expected)) {
    std::fprintf(stderr, "fan-out: the clients did not receive every line\n");
    return 1;
  }
  drain.Stop();
  for (const auto* group : {&consoleClients, &plainClients, &plainServerSide}) {
    for (int s : *group) CloseSocket(s);
  }
  CloseSocket(listening);
  return 0;
}

}  // namespace qc::load
