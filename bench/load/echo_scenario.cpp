// Echo round trip. One client sends a short line and waits for its echo, again and again.
// Console: a worker receives the line and pushes it; the host thread busy-polls GetNextMessage,
// which pops it and echoes it to the console's clients. Baselines in the same process: a
// stand-in of the same shape (a reader thread pushing onto a mutex-guarded stack, a busy-polling
// thread that pops and sends), and a plain blocking echo server (receive, send back).
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr unsigned kEchoGoid = 4242;
constexpr int kWarmUpTrips = 200;  // per kind, before the first round
constexpr int kBatches = 20;       // per round and kind
constexpr int kBatchTrips = 50;
constexpr int kRunMillis = 100000;  // upper bound of the host poller's run
constexpr char kLine[] = "GetHealth()\n";
constexpr std::size_t kTextBytes = 65536;
constexpr int kSlots = 100;

// One accepted connection that a thread of its own serves (Serve) until it ends or Stop.
class Peer {
 public:
  virtual ~Peer() = default;
  bool Start(int listening, int millis) {
    socket_ = AcceptWithin(listening, millis);
    if (socket_ < 0) return false;
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  // Ends the thread within the socket's 10 s receive limit at most.
  void Stop() {
    stopping_.store(true);
    if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    CloseSocket(socket_);
    socket_ = -1;
  }

 protected:
  virtual void Serve() = 0;
  // One receive; 0 or less once the connection is closed, shut down or failed.
  ssize_t Receive(char* buffer, std::size_t size) {
    for (;;) {
      const ssize_t n = recv(socket_, buffer, size, 0);
      if (n >= 0 || (errno != EAGAIN && errno != EINTR) || stopping_.load()) return n;
    }
  }
  int socket_ = -1;

 private:
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// The console's shape without the console: line assembly on a reader thread, a stack of 64 KiB
// slots under a mutex, and a pop that stamps the line and sends it while it holds the mutex.
class StandInConsole : public Peer {
 public:
  StandInConsole() : slots_(kSlots * kTextBytes), line_(kTextBytes), received_(kTextBytes) {}
  ~StandInConsole() override { Stop(); }

  // One poll of the host thread: false when nothing was pending.
  bool PollOnce() {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    const int top = count_.load(std::memory_order_relaxed) - 1;
    const char* slot = &slots_[static_cast<std::size_t>(top) * kTextBytes];
    const std::size_t length = std::strlen(slot);
    std::memcpy(result_, slot, length + 1);
    count_.store(top, std::memory_order_release);
    WriteLocalTimestamp(out_);
    std::memcpy(out_ + 8, " QC_MSG: ", 9);
    std::memcpy(out_ + 17, result_, length);
    (void)SendWhole(socket_, out_, 17 + length);
    return true;
  }

 private:
  // Line assembly: each whole line goes onto the stack.
  void Serve() override {
    std::size_t length = 0;
    for (;;) {
      const ssize_t n = Receive(received_.data(), kTextBytes - 1);
      if (n <= 0) return;
      const auto piece = static_cast<std::size_t>(n);
      if (length + piece >= kTextBytes) length = 0;  // never happens with short lines
      std::memcpy(&line_[length], received_.data(), piece);
      length += piece;
      line_[length] = '\0';
      if (std::memchr(received_.data(), '\n', piece) == nullptr) continue;
      std::lock_guard<std::mutex> hold(mutex_);
      const int count = count_.load(std::memory_order_relaxed);
      if (count < kSlots) {
        char* slot = &slots_[static_cast<std::size_t>(count) * kTextBytes];
        std::memcpy(slot, line_.data(), length + 1);
        count_.store(count + 1, std::memory_order_release);
      }
      length = 0;
    }
  }

  std::mutex mutex_;
  std::atomic<int> count_{0};
  std::vector<char> slots_;
  std::vector<char> line_;
  std::vector<char> received_;
  char result_[kTextBytes];
  char out_[kTextBytes + 32];
};

// Receives and sends back whatever arrives on one connection, until it ends.
class PlainEchoServer : public Peer {
 public:
  ~PlainEchoServer() override { Stop(); }

 private:
  void Serve() override {
    char buffer[4096];
    for (;;) {
      const ssize_t n = Receive(buffer, sizeof buffer);
      if (n <= 0 || !SendWhole(socket_, buffer, static_cast<std::size_t>(n))) return;
    }
  }
};

// The host's frame loop, on a thread of its own: busy-polls both the console and the stand-in
// for the whole measurement, until stopped or kRunMillis have passed. An empty poll of either
// costs a few nanoseconds, against round trips of microseconds.
void PollHost(const loader::ConsoleApi& api, StandInConsole& standIn,
              const std::atomic<bool>& stop) {
  const std::int64_t deadline = NowNanos() + std::int64_t{kRunMillis} * 1000000;
  for (unsigned spins = 0; !stop.load(std::memory_order_relaxed); ++spins) {
    (void)api.GetNextMessage(kEchoGoid);
    (void)standIn.PollOnce();
    if ((spins & 1023) == 0 && NowNanos() > deadline) return;
  }
}

// Times count round trips of kLine on client, appending to nanos when keep is set.
bool TimeRoundTrips(int client, int count, bool keep, std::vector<double>& nanos) {
  std::string echo;
  for (int i = 0; i < count; ++i) {
    const std::int64_t start = NowNanos();
    if (!SendWhole(client, kLine, sizeof kLine - 1) || !ReadLine(client, echo)) return false;
    if (keep) nanos.push_back(static_cast<double>(NowNanos() - start));
  }
  return true;
}

}  // namespace

int RunEchoScenario(const Options& options) {
  loader::ConsoleApi api{};
  const auto port = static_cast<std::uint16_t>(options.basePort + kEchoPortOffset);
  if (!SpawnInProcess(options, api, kEchoGoid, "echo", port)) return 1;
  const int console = ConnectLoopback(port, 10000);
  std::string welcome;
  if (console < 0 || !ReadLine(console, welcome) || !TakeConnectedNotices(api, kEchoGoid, 1)) {
    return Fail("echo: the console on port %d does not answer", port);
  }

  const int standInListening = ListenLoopback(static_cast<std::uint16_t>(port + 10));
  const int plainListening = ListenLoopback(static_cast<std::uint16_t>(port + 11));
  const int standInClient = ConnectLoopback(static_cast<std::uint16_t>(port + 10), 2000);
  const int plainClient = ConnectLoopback(static_cast<std::uint16_t>(port + 11), 2000);
  StandInConsole standIn;
  PlainEchoServer plain;
  if (standInClient < 0 || plainClient < 0 || !standIn.Start(standInListening, 2000) ||
      !plain.Start(plainListening, 2000)) {
    return Fail("echo: cannot open the baseline servers on ports %d and %d", port + 10, port + 11);
  }

  // The three alternate in short batches, so that each meets the same load from the rest of
  // the machine; a round's figures come from all its batches of one kind.
  const char* const names[3] = {"library", "sameshape", "plain"};
  const int clients[3] = {console, standInClient, plainClient};
  bool ok = true;
  std::atomic<bool> stop{false};
  std::thread host(PollHost, std::cref(api), std::ref(standIn), std::cref(stop));
  std::vector<double> nanos[3];
  for (int k = 0; k < 3 && ok; ++k) ok = TimeRoundTrips(clients[k], kWarmUpTrips, false, nanos[k]);
  for (int round = 0; round < options.repeats && ok; ++round) {
    for (auto& kept : nanos) kept.clear();
    for (int batch = 0; batch < 3 * kBatches && ok; ++batch) {
      const int k = (batch + batch / 3) % 3;  // the order shifts from one triple to the next
      ok = TimeRoundTrips(clients[k], kBatchTrips, true, nanos[k]);
    }
    for (int k = 0; k < 3 && ok; ++k) {
      ReportFigure(std::string("echo.") + names[k] + ".p50", Percentile(nanos[k], 50));
      ReportFigure(std::string("echo.") + names[k] + ".p99", Percentile(nanos[k], 99));
    }
  }
  stop.store(true);
  host.join();
  if (!ok) return Fail("echo: a round trip failed or timed out");
  standIn.Stop();
  plain.Stop();
  for (int s : {console, standInClient, plainClient, standInListening, plainListening}) {
    CloseSocket(s);
  }
  return 0;
}

}  // namespace qc::load
