// The console's thread and its loop, seen from inside the process.
#include "net/loop.h"

#include <gtest/gtest.h>

#include <atomic>

#include "common/locks.h"
#include "host/spawn.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

TEST(ListenerThreadTest, UnbindablePortLeavesTheServerRegisteredWithoutListener) {
  const std::uint16_t port = test::PortBlock(test::kListenerUnbindable);
  test::WriteProfile(test::ProfileWithPort(port));
  const int holder = test::os::ListenLoopback(port);
  ASSERT_GE(holder, 0);
  test::StderrCapture errors;
  ASSERT_TRUE(SpawnConsoleServer(77, "blocked"));
  ConsoleServer* server = FindServer(77);
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(errors.WaitFor("QC_ERROR: bind() failed\n"));
  // The listener stores -1 under the state lock; taking the lock waits for it.
  LockMutex(server->StateLock);
  EXPECT_EQ(server->ListenSocket.load(), -1);
  // What the loop would have used is given back.
  EXPECT_EQ(server->Waker, nullptr);
  EXPECT_EQ(server->Loop, nullptr);
  UnlockMutex(server->StateLock);
  EXPECT_EQ(server->ClientCount, 0);
  EXPECT_EQ(errors.Text(), "QC_ERROR: bind() failed\n");
  test::CloseSocket(holder);
}

TEST(ConsoleLoopTest, TwoClientsAreServedAtOnce) {
  const std::uint16_t port = test::PortBlock(test::kTwoWorkers);
  test::WriteProfile(test::ProfileWithPort(port));
  ASSERT_TRUE(SpawnConsoleServer(78, "pair"));
  test::LoopbackClient first, second;
  ASSERT_TRUE(first.Connect(port));
  ASSERT_TRUE(second.Connect(port));
  // Neither has left, yet both are welcomed and listed: two sessions run side by side.
  EXPECT_FALSE(first.ReadUntil("v0.1\r\n").empty());
  EXPECT_FALSE(second.ReadUntil("v0.1\r\n").empty());
  ConsoleServer* server = FindServer(78);
  EXPECT_TRUE(test::WaitUntil([&] {
    LockMutex(server->StateLock);
    const int count = server->ClientCount;
    UnlockMutex(server->StateLock);
    return count == 2;
  }));
}

// Connections reset before the console takes them make accept fail for that connection alone
// (wine reports WSAENOTCONN or WSAECONNRESET): each is skipped without a word or a pause, and
// the console goes on welcoming developers.
TEST(ConsoleLoopTest, ConnectionsResetBeforeTheyAreTakenStopNobody) {
  const std::uint16_t port = test::PortBlock(test::kAcceptResetStorm);
  test::WriteProfile(test::ProfileWithPort(port));
  ASSERT_TRUE(SpawnConsoleServer(79, "storm"));
  test::LoopbackClient first;
  ASSERT_TRUE(first.Connect(port));
  ASSERT_FALSE(first.ReadUntil("v0.1\r\n").empty());
  test::StderrCapture errors;
  for (int i = 0; i < 100; ++i) {
    const int s = test::os::ConnectLoopback(port);
    if (s >= 0) test::os::ResetAndClose(s);
  }
  test::LoopbackClient next;
  ASSERT_TRUE(next.Connect(port));
  EXPECT_FALSE(next.ReadUntil("v0.1\r\n").empty());
  EXPECT_EQ(errors.Count("accept() failed"), 0) << errors.Text();
}

TEST(StartThreadTest, RunsTheFunctionWithItsArgument) {
  static std::atomic<int> seen{0};
  static int value = 5;
  ASSERT_TRUE(platform::StartThread([](void* argument) { seen = *static_cast<int*>(argument); },
                                    &value, kConsoleStackBytes));
  EXPECT_TRUE(test::WaitUntil([] { return seen.load() == 5; }));
}

}  // namespace
}  // namespace qc
