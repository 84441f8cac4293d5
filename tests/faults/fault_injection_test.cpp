// Every failure point of the platform layer, tried in turn. A scenario (3 consoles, one with a
// password; 5 developers typing, listing, overflowing, resetting and quitting; a host polling
// and broadcasting) runs once to count the calls of each kind, then once per chosen call with
// that one call failing. The registry of consoles lives as long as the process, so each run is
// a process of its own: this program started again with --fault-scenario.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/retrieval.h"
#include "host/spawn.h"
#include "net/broadcast.h"
#include "platform/faults.h"
#include "support/ports.h"
#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#if defined(QC_COVERAGE)
extern "C" void __gcov_dump(void);
#endif

extern char** environ;

namespace qc {
namespace {

using platform::FaultKind;
using test::LoopbackClient;

constexpr int kKinds = static_cast<int>(FaultKind::kCount);
constexpr int kConsoles = 3;
constexpr int kDevelopers = 5;
constexpr int kPasswordConsole = 1;
constexpr std::uint32_t kFirstGoid = 701;
constexpr int kStepMillis = 4000;  // each wait of a step
constexpr int kRunMillis = 30000;  // each run, killed after it

FaultKind Kind(int k) { return static_cast<FaultKind>(k); }
bool Is(int k, FaultKind kind) { return k == static_cast<int>(kind); }
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}
// Like test::WaitUntil, with a finer step: the scenario waits on a condition thousands of times.
bool Until(const std::function<bool()>& pred, int millis) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}
// Whether every other thread of this process (the consoles' threads) sleeps: each loop waits
// for events, so the next step is the only thing it has to handle.
bool OthersAsleep() {
  const std::string self = std::to_string(::syscall(SYS_gettid));
  bool asleep = true;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == self) continue;
    const std::string stat = ReadFile(task.path() / "stat");
    const auto at = stat.rfind(") ");
    asleep = asleep && at != std::string::npos && at + 2 < stat.size() &&
             (stat[at + 2] == 'S' || stat[at + 2] == 'Z' || stat[at + 2] == 'X');
  }
  return asleep;
}
// Whether the server ended the connection (what arrived before the end has been read).
bool Ended(const LoopbackClient& client) {
  char byte;
  const ssize_t n = ::recv(client.socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// One run of the scenario in this process, failing call `call` of kind `kind` (call 0: none).
// One thread drives it step by step: a developer acts, the host takes what that pushed and
// broadcasts a tick, every developer reads what it must, and each step waits until the
// consoles' loops sleep again. So no two events ever meet in a loop, and the platform calls
// come in the same order in every run until the failing one. Prints the calls counted, and
// returns what went wrong (empty when nothing did).
class Scenario {
 public:
  Scenario(int kind, long call, std::uint16_t port, std::string errPath)
      : kind_(kind), call_(call), base_(port), errPath_(std::move(errPath)) {}

  std::string Run() {
    platform::ArmFault(Kind(kind_ < 0 ? 0 : kind_), call_);
    for (int c = 0; c < kConsoles; ++c) Spawn(c);
    for (int d = 0; d < kDevelopers; ++d) Attach(dev_[d], d / 2);
    for (int k = 0; k < 4; ++k) {
      for (int d = 0; d < kDevelopers; ++d) {
        Type(dev_[d], "d" + std::to_string(d) + " line " + std::to_string(k));
        if (k == 1) Ask(dev_[d], "[who]\r\n"), Ask(dev_[d], "[spawns]\r\n");
      }
    }
    Overflow(dev_[0]);
    for (int d = 0; d < kDevelopers; ++d) Leave(d);
    platform::DisarmFaults();
    std::printf("calls");
    for (int k = 0; k < kKinds; ++k) std::printf(" %ld", platform::FaultCalls(Kind(k)));
    std::printf("\nfired %d\nhit", platform::FaultFired() ? 1 : 0);
    for (int d = 0; d < kDevelopers; ++d) std::printf(dev_[d].ok ? "" : " %d", d);
    std::printf("\n");
    std::string failure = Check();
    for (int c = 0; c < kConsoles && failure.empty(); ++c) failure = Fresh(c);
    return failure;
  }

 private:
  struct Developer {
    LoopbackClient client;
    int console = -1;  // -1 until attached, and again once gone
    int lines = 0;
    bool ok = true;
  };

  void Settle() { Until(OthersAsleep, kStepMillis); }

  void Spawn(int c) {
    test::WriteProfile(test::ProfileWithPort(base_, c == kPasswordConsole ? "Password=pw7\n" : ""));
    const bool firedBefore = platform::FaultFired();
    spawned_[c] = SpawnConsoleServer(kFirstGoid + c, "fault");
    spawnFault_[c] = !firedBefore && platform::FaultFired();
    ConsoleServer* server = FindServer(kFirstGoid + c);
    const auto listenFailures = [this] {
      const std::string err = ReadFile(errPath_);
      return Count(err, "socket() failed") + Count(err, "bind() failed") +
             Count(err, "listen() failed");
    };
    const int before = listenFailures();
    listening_[c] =
        spawned_[c] &&
        Until([&] { return server->ListenSocket.load() >= 0 || listenFailures() > before; },
              kStepMillis) &&
        server->ListenSocket.load() >= 0;
    if (server != nullptr) port_[c] = static_cast<std::uint16_t>(server->Port);
    password_[c] = server != nullptr && server->Password[0] != '\0';
    Settle();
  }

  // Reads until needle; once the failure has happened, a line may wait for the loop's next
  // turn (a lost wake-up), so the host broadcasts again while the developer waits, as it does
  // every frame. False (and the developer is hit) when the needle does not come.
  bool Read(Developer& dev, const std::string& needle) {
    for (int slice = 0; dev.ok && slice < kStepMillis / 50; ++slice) {
      if (!dev.client.ReadUntil(needle, 50).empty()) {
        // Acknowledged at once: the console's next line is not held back for the ack (Nagle).
        const int one = 1;
        (void)::setsockopt(dev.client.socket(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        return true;
      }
      if (Ended(dev.client)) break;
      if (platform::FaultFired())
        SendToAllClients(*FindServer(kFirstGoid + dev.console), "nudge\r\n");
    }
    return dev.ok = false;
  }
  // Every attached developer of console c reads needle.
  void Expect(int c, const std::string& needle) {
    for (auto& dev : dev_) {
      if (dev.console == c && dev.ok) Read(dev, needle);
    }
  }
  bool Send(Developer& dev, const std::string& bytes) {
    Settle();
    return dev.ok = dev.ok && dev.console >= 0 && dev.client.Send(bytes);
  }

  // The host takes what console c holds, each message echoed to c's developers.
  void TakeAll(int c) {
    for (;;) {
      Settle();
      const std::string text = TakeNextMessage(kFirstGoid + c);
      if (text.empty()) return;
      taken_[c] += text + '|';
      Expect(c, text.substr(0, 40));
    }
  }
  // The host's turn after a step that pushed `pushed` messages on console c: it takes them,
  // and then broadcasts a tick to every console.
  void Host(int c, int pushed) {
    ConsoleServer* server = FindServer(kFirstGoid + c);
    if (server == nullptr) return;
    // Once the failure has happened, a message may never come.
    const int wait = platform::FaultFired() ? kStepMillis / 8 : kStepMillis;
    Until([&] { return server->PendingCount.load() >= pushed; }, wait);
    TakeAll(c);
    const std::string tick = "tick " + std::to_string(++ticks_) + "\r\n";
    for (int to = 0; to < kConsoles; ++to) {
      if (ConsoleServer* other = FindServer(kFirstGoid + to)) {
        Settle();
        SendToAllClients(*other, tick.c_str());
        Expect(to, tick);
      }
    }
  }

  // Welcomes (and lets past the password) a developer of console c.
  bool Attach(Developer& dev, int c) {
    Settle();
    dev.ok = listening_[c] && dev.client.Connect(port_[c], kStepMillis);
    if (!dev.ok) return false;
    dev.console = c;
    if (!Read(dev, "console, v0.1\r\n")) return false;
    if (password_[c] && !(Read(dev, "Password required\r\n") && Send(dev, "pw7\r\n") &&
                          Read(dev, "Password accepted\r\n"))) {
      return false;
    }
    Host(c, 1);  // its connected notice
    return dev.ok;
  }
  // Types a line, which the host takes and echoes.
  void Type(Developer& dev, const std::string& line) {
    if (!dev.ok || dev.console < 0) return;
    ++dev.lines;
    if (Send(dev, line + "\r\n")) Host(dev.console, 1);
  }
  void Ask(Developer& dev, const char* command) {
    if (Send(dev, command)) Read(dev, "End of list\r\n");
  }
  // A line too long for the console: cut and taken, and the overflow notice beside it, which
  // the console also sends its developers itself.
  void Overflow(Developer& dev) {
    if (!Send(dev, "d0 overflow " + std::string(70000, 'x') + "\r\n")) return;
    if (Read(dev, "QC_ERROR: Buffer overflow detected")) Host(dev.console, 2);
  }
  // Developer d leaves: 0, 1 and 4 quit, 2 resets, 3 just closes.
  void Leave(int d) {
    Developer& dev = dev_[d];
    if (!dev.ok || dev.console < 0) return;
    const int c = dev.console;
    if (d == 2 || d == 3) {
      Settle();
      d == 2 ? dev.client.Reset() : dev.client.Close();
    } else {
      dev.ok = Send(dev, "[quit]\r\n") && Read(dev, "Disconnecting from Team Quillaret") &&
               dev.client.WaitClosed(kStepMillis);
    }
    dev.console = -1;
    Host(c, 1);  // its disconnected notice
  }

  // The run's verdict on the developers, the host's messages and the failure's trace.
  std::string Check() {
    // The developers a failure hit leave, and what a broken step left behind is taken now.
    for (auto& dev : dev_) {
      if (!dev.ok) dev.client.Close();
    }
    for (int c = 0; c < kConsoles; ++c) Host(c, 0);
    const std::string err = ReadFile(errPath_);
    const bool fired = platform::FaultFired();
    int hit = 0;
    for (int d = 0; d < kDevelopers; ++d) {
      const int c = d / 2;
      const bool hitHere = !dev_[d].ok;
      for (int k = 0; k < dev_[d].lines; ++k) {
        const int n =
            Count(taken_[c], "d" + std::to_string(d) + " line " + std::to_string(k) + "\r\n");
        if (n > 1 || (n == 0 && !hitHere))
          return "developer " + std::to_string(d) + "'s line " + std::to_string(k) + " taken " +
                 std::to_string(n) + " times";
      }
      if (hitHere && listening_[c]) ++hit;
    }
    if (dev_[0].ok && (Count(taken_[0], "QC_ERROR: Buffer overflow detected") != 1 ||
                       Count(taken_[0], "d0 overflow x") != 1)) {
      return "the overflow was not taken once";
    }
    bool spawnFailed = false;
    for (int c = 0; c < kConsoles; ++c) {
      if (!spawned_[c] && !spawnFault_[c]) return "a spawn failed without a fault";
      spawnFailed = spawnFailed || !spawned_[c];
    }
    if (!fired) return hit > 0 ? std::to_string(hit) + " developers hit without a fault" : "";
    const FaultKind kind = Kind(kind_);
    const char* trace = kind == FaultKind::kSocket                   ? "QC_ERROR: socket() failed\n"
                        : kind == FaultKind::kBind                   ? "QC_ERROR: bind() failed\n"
                        : kind == FaultKind::kListen                 ? "QC_ERROR: listen() failed\n"
                        : kind == FaultKind::kAccept                 ? "QC_ERROR: accept() failed\n"
                        : kind == FaultKind::kReceive                ? "QC_ERROR: recv() failed\n"
                        : kind == FaultKind::kSend                   ? "QC_ERROR: send() failed\n"
                        : kind == FaultKind::kWait                   ? "QC_ERROR: select() failed\n"
                        : kind == FaultKind::kMemory && !spawnFailed ? "QC_ERROR: out of memory"
                                                                     : "";
    if (*trace != '\0' && Count(err, trace) == 0)
      return std::string("no \"") + trace + "\" on standard error";
    // Developer 2's reset fails a receive or a send of its own: a failure that ended another
    // developer shows beside it.
    const int brokenLines = Count(err, "recv() failed\n") + Count(err, "send() failed\n");
    if ((Is(kind_, FaultKind::kReceive) || Is(kind_, FaultKind::kSend)) && hit > 0 && dev_[2].ok &&
        brokenLines < 2) {
      return "a developer was ended without its line on standard error";
    }
    // A thread, mutex or pages that a spawn could not have fail it; the same calls made later
    // (standard error's writer and its lock, made with the first diagnostic line) fail nothing
    // that shows beyond the checks above.
    const bool spawnKind = Is(kind_, FaultKind::kThread) || Is(kind_, FaultKind::kMutex) ||
                           Is(kind_, FaultKind::kPages);
    bool duringSpawn = false;
    for (const bool fault : spawnFault_) duringSpawn = duringSpawn || fault;
    if (spawnKind && duringSpawn && !spawnFailed) return "the failure did not fail its spawn";
    const int mayHit = Is(kind_, FaultKind::kMemory)                                   ? 5
                       : Is(kind_, FaultKind::kReceive) || Is(kind_, FaultKind::kSend) ? 1
                                                                                       : 0;
    if (hit > mayHit) return std::to_string(hit) + " developers of listening consoles hit";
    return "";
  }

  // A fresh developer of a console that listens is welcomed, and its line reaches the host
  // and comes back as the echo; every connected notice is matched by a disconnected one.
  std::string Fresh(int c) {
    if (!listening_[c]) return "";
    Developer& dev = dev_[kDevelopers];
    dev.ok = true;
    dev.lines = 0;
    const std::string line = "fresh " + std::to_string(c);
    if (Attach(dev, c)) Type(dev, line);
    Leave(kDevelopers);
    if (!dev.ok || Count(taken_[c], line + "\r\n") != 1) {
      return "console " + std::to_string(c) + " does not serve a fresh developer";
    }
    const bool balanced = Until(
        [&] {
          TakeAll(c);
          return Count(taken_[c], " connected (") == Count(taken_[c], " disconnected (");
        },
        kStepMillis);
    return balanced ? "" : "console " + std::to_string(c) + "'s notices do not balance";
  }

  const int kind_;
  const long call_;
  const std::uint16_t base_;
  const std::string errPath_;
  bool spawned_[kConsoles] = {}, spawnFault_[kConsoles] = {}, listening_[kConsoles] = {},
       password_[kConsoles] = {};
  std::uint16_t port_[kConsoles] = {};
  std::string taken_[kConsoles];
  Developer dev_[kDevelopers + 1];  // the last one for the fresh developers
  int ticks_ = 0;
};

struct RunResult {
  bool survived;
  std::string verdict;  // what failed, or the child's output
  std::vector<long> calls;
  bool fired;
};

// Runs the scenario in a new process of this program, killed after kRunMillis.
RunResult RunChild(const std::string& dir, int kind, long call) {
  const std::string out = dir + "/out", err = dir + "/err";
  const std::string port = std::to_string(test::PortBlock(test::kFaultScenario));
  const std::string kindText = std::to_string(kind), callText = std::to_string(call);
  const char* argv[] = {"/proc/self/exe", "--fault-scenario", kindText.c_str(), callText.c_str(),
                        port.c_str(),     err.c_str(),        nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {false, "posix_spawn failed", {}, false};
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMillis);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return {false, "did not end within its time limit", {}, false};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  RunResult result{WIFEXITED(status) && WEXITSTATUS(status) == 0, ReadFile(out), {}, false};
  std::istringstream in(result.verdict);
  for (std::string word; in >> word;) {
    if (word == "calls") {
      result.calls.assign(kKinds, 0);
      for (long& n : result.calls) in >> n;
    } else if (word == "fired") {
      in >> result.fired;
    }
  }
  if (!result.survived) result.verdict += "\nstandard error:\n" + ReadFile(err).substr(0, 4000);
  return result;
}

// The calls to fail: every one when they are few, else `budget` spread over every kind, each
// kind's share spread evenly over its calls.
std::vector<std::pair<int, long>> ChoosePoints(const std::vector<long>& calls, long budget) {
  std::vector<long> share(kKinds, 0);
  for (long left = budget, open = kKinds; left > 0 && open > 0;) {
    open = 0;
    for (int k = 0; k < kKinds; ++k) open += share[k] < calls[k];
    for (int k = 0; k < kKinds && left > 0; ++k) {
      if (share[k] < calls[k]) ++share[k], --left;
    }
  }
  std::vector<std::pair<int, long>> points;
  for (int k = 0; k < kKinds; ++k) {
    for (long i = 0; i < share[k]; ++i) {
      points.emplace_back(k, share[k] == 1 ? 1 : 1 + i * (calls[k] - 1) / (share[k] - 1));
    }
  }
  return points;
}

TEST(FaultInjection, EveryFailurePointIsSurvived) {
  char pattern[] = "/tmp/qc_faults_XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const RunResult counting = RunChild(dir, -1, 0);
  ASSERT_TRUE(counting.survived && counting.calls.size() == kKinds) << counting.verdict;
  EXPECT_EQ(platform::FaultKindName(FaultKind::kCount), nullptr);
  EXPECT_EQ(platform::FaultKindName(static_cast<FaultKind>(-1)), nullptr);
  long total = 0;
  for (int k = 0; k < kKinds; ++k) {
    std::printf("%s: %ld calls\n", platform::FaultKindName(Kind(k)), counting.calls[k]);
    EXPECT_GT(counting.calls[k], 0)
        << "the scenario never reaches " << platform::FaultKindName(Kind(k));
    total += counting.calls[k];
  }
  const char* budget = std::getenv("QC_FAULT_POINTS");
  const auto points = ChoosePoints(counting.calls, budget != nullptr ? std::atol(budget) : 500);
  // A point counts only once its call failed. A run that ended before its call came (the
  // calls of a run may still differ a little) is planned again on the last call of that kind
  // it made, or the nearest one before it not tried yet.
  std::set<std::pair<int, long>> tried;
  std::vector<int> triedOfKind(kKinds, 0);
  int survived = 0, replanned = 0, shown = 0;
  for (auto [kind, call] : points) {
    for (int attempt = 0; attempt < 3 && call > 0; ++attempt) {
      const RunResult run = RunChild(dir, kind, call);
      if (run.survived && !run.fired && run.calls.size() == kKinds) {
        ++replanned;
        call = std::min(call - 1, run.calls[kind]);
        while (call > 0 && tried.count({kind, call}) != 0) --call;
        continue;
      }
      tried.insert({kind, call});
      ++triedOfKind[kind];
      survived += run.survived;
      if (!run.survived && shown++ < 5) {
        ADD_FAILURE() << platform::FaultKindName(Kind(kind)) << " call " << call << ": "
                      << run.verdict;
      }
      break;
    }
  }
  std::printf("fault injection: %zu points, %d survived\n", tried.size(), survived);
  std::printf("(%ld calls counted, %zu points planned, %d runs planned again)\n", total,
              points.size(), replanned);
  EXPECT_EQ(survived, static_cast<int>(tried.size()));
  EXPECT_EQ(tried.size(), points.size()) << "some planned failures never happened";
  for (int k = 0; k < kKinds; ++k) {
    EXPECT_GT(triedOfKind[k], 0) << "no " << platform::FaultKindName(Kind(k)) << " call failed";
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qc

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--fault-scenario") {
    qc::Scenario scenario(std::atoi(argv[2]), std::atol(argv[3]),
                          static_cast<std::uint16_t>(std::atoi(argv[4])), argv[5]);
    std::string failure = scenario.Run();
#if defined(__SANITIZE_ADDRESS__)
    // The run ends without the exit handlers, which is where the leak check would run: what a
    // failure path lost is looked for here, with the consoles still running.
    if (failure.empty() && __lsan_do_recoverable_leak_check() != 0) failure = "blocks leaked";
#endif
    // The profile's folder, made for this run (an empty folder alone is ever removed).
    const std::filesystem::path profile = qc::test::os::ProfilePath();
    std::filesystem::remove(profile);
    (void)::rmdir(profile.parent_path().c_str());
    std::printf("%s\n", failure.empty() ? "verdict ok" : ("verdict " + failure).c_str());
    std::fflush(stdout);
    // The consoles' threads run on, as in any host; nothing is torn down under them. A coverage
    // build writes the counters first, which the exit handlers would have written.
#if defined(QC_COVERAGE)
    __gcov_dump();
#endif
    std::_Exit(failure.empty() ? 0 : 1);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
