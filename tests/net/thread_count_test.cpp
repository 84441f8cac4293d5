// Threads of a spawned server seen from the operating system: counts read from /proc, and
// signals delivered to every thread (Linux only).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/spawn.h"
#include "net/broadcast.h"
#include "support/proc_counts.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

using test::OpenDescriptors;
using test::ThreadCount;

// ThreadSanitizer starts a background thread of its own at some point after the first thread.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerThreads = 1;
#else
constexpr int kSanitizerThreads = 0;
#endif

// True when the process runs exactly the threads expected, give or take the sanitizer's own.
bool RunsThreads(int expected) {
  const int count = ThreadCount();
  return count >= expected && count <= expected + kSanitizerThreads;
}

TEST(SpawnThreadsTest, AConsoleRunsOneThreadHoweverManyDevelopersAttach) {
  const std::uint16_t port = test::PortBlock(test::kThreadCount);
  test::WriteProfile(test::ProfileWithPort(port));
  const int before = ThreadCount();
  ASSERT_TRUE(SpawnConsoleServer(1, "a"));
  ASSERT_TRUE(SpawnConsoleServer(2, "b"));
  EXPECT_TRUE(test::WaitUntil([&] { return RunsThreads(before + 2); })) << ThreadCount() - before;
  // A full console: 100 developers, each welcomed, listed and sent a broadcast.
  const std::uint16_t second = static_cast<std::uint16_t>(port + 1);
  std::vector<std::unique_ptr<test::LoopbackClient>> clients;
  for (int i = 0; i < kMaxClients; ++i) {
    clients.push_back(std::make_unique<test::LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(second));
    ASSERT_FALSE(clients.back()->ReadUntil("v0.1\r\n").empty()) << i;
  }
  const ConsoleServer* server = FindServer(2);
  ASSERT_TRUE(test::WaitUntil([&] { return server->ClientCount.load() == kMaxClients; }));
  SendToAllClients(*FindServer(2), "QC_OK: to all");
  for (auto& client : clients) EXPECT_FALSE(client->ReadUntil("QC_OK: to all\r\n").empty());
  EXPECT_TRUE(RunsThreads(before + 2)) << ThreadCount() - before;
}

// Sends sig to every thread of this process.
void SignalEveryThread(int sig) {
  DIR* tasks = opendir("/proc/self/task");
  ASSERT_NE(tasks, nullptr);
  for (dirent* entry; (entry = readdir(tasks)) != nullptr;) {
    if (entry->d_name[0] == '.') continue;
    syscall(SYS_tgkill, getpid(), std::stoi(entry->d_name), sig);
  }
  closedir(tasks);
}

TEST(ReceiveTimeoutTest, SignalsToTheHostProcessDoNotCancelTheTimeout) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);  // a host's handler, without SA_RESTART
  const std::uint16_t port = test::PortBlock(test::kTimeoutSignals);
  test::WriteProfile(test::ProfileWithPort(port, "Timeout=On\nTimeoutVal=600\n"));
  ASSERT_TRUE(SpawnConsoleServer(3, "signalled"));
  test::LoopbackClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_FALSE(client.ReadUntil("v0.1\r\n").empty());
  // Interrupt the session's wait several times; it must still end in a time-out notice
  // instead of a receive that waits for ever.
  for (int i = 0; i < 5; ++i) {
    SignalEveryThread(SIGUSR1);
    test::os::SleepMillis(50);
  }
  EXPECT_EQ(client.ReadUntil("\r\n"), "QC_ERROR: Connection has timed out\r\n");
}

}  // namespace
}  // namespace qc
