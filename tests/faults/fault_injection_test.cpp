// Every failure point of the platform layer, tried in turn. A scenario (3 consoles, one with a
// password; 5 developers typing, listing, overflowing, resetting and quitting; a host polling
// and broadcasting) runs once to count the calls of each kind, then once per chosen call with
// that one call failing. The registry of consoles lives as long as the process, so each run is
// a process of its own: this program started again with --fault-scenario.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
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

extern char** environ;

namespace qc {
namespace {

using platform::FaultKind;
using test::LoopbackClient;

constexpr int kKinds = static_cast<int>(FaultKind::kCount);
constexpr int kConsoles = 3;
constexpr int kPasswordConsole = 1;
constexpr std::uint32_t kFirstGoid = 701;
constexpr int kStepMillis = 4000;  // each read of a developer
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

// One run of the scenario in this process, failing call `call` of kind `kind` (call 0: none).
// Prints the calls counted, and returns what went wrong (empty when nothing did).
class Scenario {
 public:
  Scenario(int kind, long call, std::uint16_t port, std::string errPath)
      : kind_(kind), call_(call), base_(port), errPath_(std::move(errPath)) {}

  std::string Run() {
    platform::ArmFault(Kind(kind_ < 0 ? 0 : kind_), call_);
    for (int c = 0; c < kConsoles; ++c) Spawn(c);
    std::thread host([this] { Host(); });
    std::vector<std::thread> developers;
    for (int d = 0; d < 5; ++d) developers.emplace_back([this, d] { Developer(d); });
    for (auto& t : developers) t.join();
    platform::DisarmFaults();
    std::printf("calls");
    for (int k = 0; k < kKinds; ++k) std::printf(" %ld", platform::FaultCalls(Kind(k)));
    std::printf("\nfired %d\nhit", platform::FaultFired() ? 1 : 0);
    for (int d = 0; d < 5; ++d) std::printf(hit_[d] ? " %d" : "", d);
    std::printf("\n");
    // A developer sees the echo of its line before the host here has noted the line down.
    std::string failure;
    test::WaitUntil([&] { return (failure = Check()).empty(); }, 2000);
    for (int c = 0; c < kConsoles && failure.empty(); ++c) failure = Fresh(c);
    stop_ = true;
    host.join();
    return failure;
  }

 private:
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
    listening_[c] = spawned_[c] && test::WaitUntil([&] {
      return server->ListenSocket.load() >= 0 || listenFailures() > before;
    }) && server->ListenSocket.load() >= 0;
    if (server != nullptr) port_[c] = static_cast<std::uint16_t>(server->Port);
    password_[c] = server != nullptr && server->Password[0] != '\0';
  }

  void Host() {
    for (long tick = 0; !stop_; ++tick) {
      for (int c = 0; c < kConsoles; ++c) {
        for (const char* text; *(text = TakeNextMessage(kFirstGoid + c)) != '\0';) {
          std::lock_guard<std::mutex> hold(lock_);
          taken_[c] += text;
          taken_[c] += '|';
        }
        if (ConsoleServer* server = FindServer(kFirstGoid + c)) {
          SendToAllClients(*server, ("tick " + std::to_string(tick)).c_str());
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Welcomes (and lets past the password) a developer of console c.
  bool Attach(LoopbackClient& client, int c) {
    if (!listening_[c] || !client.Connect(port_[c], kStepMillis)) return false;
    if (client.ReadUntil("console, v0.1\r\n", kStepMillis).empty()) return false;
    if (!password_[c]) return true;
    return !client.ReadUntil("Password required\r\n", kStepMillis).empty() &&
           client.Send("pw7\r\n") &&
           !client.ReadUntil("Password accepted\r\n", kStepMillis).empty();
  }
  // Types a line and waits for the host's echo of it.
  bool Type(LoopbackClient& client, const std::string& line) {
    return client.Send(line + "\r\n") && !client.ReadUntil(line + "\r\n", kStepMillis).empty();
  }
  bool Ask(LoopbackClient& client, const char* command) {
    return client.Send(command) && !client.ReadUntil("End of list\r\n", kStepMillis).empty();
  }
  bool Quit(LoopbackClient& client) {
    return client.Send("[quit]\r\n") &&
           !client.ReadUntil("Disconnecting from Team Quillaret", kStepMillis).empty() &&
           client.WaitClosed(kStepMillis);
  }

  // Developer d on console d/2: four lines with [who] and [spawns] between; then 0 overflows
  // and quits, 1 and 4 quit, 2 resets, 3 just closes.
  void Developer(int d) {
    LoopbackClient client;
    const int c = d / 2;
    bool ok = Attach(client, c);
    for (int k = 0; k < 4 && ok; ++k) {
      lines_[d] = k + 1;
      ok = Type(client, "d" + std::to_string(d) + " line " + std::to_string(k)) &&
           (k != 1 || (Ask(client, "[who]\r\n") && Ask(client, "[spawns]\r\n")));
    }
    if (ok && d == 0) {
      ok = client.Send("d0 overflow " + std::string(70000, 'x') + "\r\n") &&
           !client.ReadUntil("QC_MSG: d0 overflow x", kStepMillis).empty();
    }
    if (ok && (d == 0 || d == 1 || d == 4)) ok = Quit(client);
    if (d == 2) client.Reset();
    hit_[d] = !ok;
  }

  // The run's verdict on the developers, the host's messages and the failure's trace.
  std::string Check() {
    const std::string err = ReadFile(errPath_);
    const bool fired = platform::FaultFired();
    int hit = 0;
    std::lock_guard<std::mutex> hold(lock_);
    for (int d = 0; d < 5; ++d) {
      const int c = d / 2;
      for (int k = 0; k < lines_[d]; ++k) {
        const int n = Count(taken_[c], "d" + std::to_string(d) + " line " + std::to_string(k) + "\r\n");
        if (n > 1 || (n == 0 && !hit_[d])) return "developer " + std::to_string(d) + "'s line " +
                                                  std::to_string(k) + " taken " + std::to_string(n) + " times";
      }
      if (hit_[d] && listening_[c]) ++hit;
    }
    if (!hit_[0] && (Count(taken_[0], "QC_ERROR: Buffer overflow detected") != 1 ||
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
    const char* trace = kind == FaultKind::kSocket   ? "QC_ERROR: socket() failed\n"
                        : kind == FaultKind::kBind   ? "QC_ERROR: bind() failed\n"
                        : kind == FaultKind::kListen ? "QC_ERROR: listen() failed\n"
                        : kind == FaultKind::kAccept ? "QC_ERROR: accept() failed\n"
                        : kind == FaultKind::kReceive ? "QC_ERROR: recv() failed\n"
                        : kind == FaultKind::kSend   ? "QC_ERROR: send() failed\n"
                        : kind == FaultKind::kWait   ? "QC_ERROR: select() failed\n"
                        : kind == FaultKind::kMemory && !spawnFailed ? "QC_ERROR: out of memory"
                                                                     : "";
    if (*trace != '\0' && Count(err, trace) == 0) return std::string("no \"") + trace + "\" on standard error";
    // Developer 2's reset fails a receive or a send of its own: a failure that ended another
    // developer shows beside it.
    const int brokenLines = Count(err, "recv() failed\n") + Count(err, "send() failed\n");
    if ((Is(kind_, FaultKind::kReceive) || Is(kind_, FaultKind::kSend)) && hit > 0 && !hit_[2] &&
        brokenLines < 2) {
      return "a developer was ended without its line on standard error";
    }
    const bool spawnKind = Is(kind_, FaultKind::kThread) || Is(kind_, FaultKind::kMutex) ||
                           Is(kind_, FaultKind::kPages);
    if (spawnKind && !spawnFailed) return "the failure did not fail its spawn";
    const int mayHit = Is(kind_, FaultKind::kMemory) ? 5
                       : Is(kind_, FaultKind::kReceive) || Is(kind_, FaultKind::kSend) ? 1 : 0;
    if (hit > mayHit) return std::to_string(hit) + " developers of listening consoles hit";
    return "";
  }

  // A fresh developer of a console that listens is welcomed, and its line reaches the host
  // and comes back as the echo; every connected notice is matched by a disconnected one.
  std::string Fresh(int c) {
    if (!listening_[c]) return "";
    LoopbackClient client;
    const std::string line = "fresh " + std::to_string(c);
    if (!Attach(client, c) || !Type(client, line) || !Quit(client)) {
      return "console " + std::to_string(c) + " does not serve a fresh developer";
    }
    const bool balanced = test::WaitUntil([&] {
      std::lock_guard<std::mutex> hold(lock_);
      return Count(taken_[c], " connected (") == Count(taken_[c], " disconnected (");
    }, kStepMillis);
    return balanced ? "" : "console " + std::to_string(c) + "'s notices do not balance";
  }

  const int kind_;
  const long call_;
  const std::uint16_t base_;
  const std::string errPath_;
  bool spawned_[kConsoles] = {}, spawnFault_[kConsoles] = {}, listening_[kConsoles] = {},
       password_[kConsoles] = {};
  std::uint16_t port_[kConsoles] = {};
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string taken_[kConsoles];
  int lines_[5] = {};
  bool hit_[5] = {};
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
                        port.c_str(), err.c_str(), nullptr};
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
  long total = 0;
  for (int k = 0; k < kKinds; ++k) {
    std::printf("%s: %ld calls\n", platform::FaultKindName(Kind(k)), counting.calls[k]);
    EXPECT_GT(counting.calls[k], 0) << "the scenario never reaches " << platform::FaultKindName(Kind(k));
    total += counting.calls[k];
  }
  const char* budget = std::getenv("QC_FAULT_POINTS");
  const auto points = ChoosePoints(counting.calls, budget != nullptr ? std::atol(budget) : 500);
  int survived = 0, unreached = 0, shown = 0;
  for (const auto& [kind, call] : points) {
    const RunResult run = RunChild(dir, kind, call);
    survived += run.survived;
    unreached += run.survived && !run.fired;
    if (!run.survived && shown++ < 5) {
      ADD_FAILURE() << platform::FaultKindName(Kind(kind)) << " call " << call << ": " << run.verdict;
    }
  }
  std::printf("fault injection: %zu points, %d survived\n", points.size(), survived);
  std::printf("(%ld calls counted; %d of the runs ended before their call came)\n", total, unreached);
  EXPECT_EQ(survived, static_cast<int>(points.size()));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qc

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--fault-scenario") {
    qc::Scenario scenario(std::atoi(argv[2]), std::atol(argv[3]),
                          static_cast<std::uint16_t>(std::atoi(argv[4])), argv[5]);
    const std::string failure = scenario.Run();
    // The profile's folder, made for this run (an empty folder alone is ever removed).
    const std::filesystem::path profile = qc::test::os::ProfilePath();
    std::filesystem::remove(profile);
    (void)::rmdir(profile.parent_path().c_str());
    std::printf("%s\n", failure.empty() ? "verdict ok" : ("verdict " + failure).c_str());
    std::fflush(stdout);
    // The consoles' threads run on, as in any host; nothing is torn down under them.
    std::_Exit(failure.empty() ? 0 : 1);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
