// Thread accounting of a spawned server, read from /proc (Linux only).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "host/console_server.h"
#include "support/test_support.h"

namespace qc {
namespace {

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

TEST(SpawnThreadsTest, EachServerRunsAParkedListenerAndAHundredWorkers) {
  test::WriteProfile(test::ProfileWithPort(test::PortBlock(52)));
  const int before = ThreadCount();
  ASSERT_TRUE(SpawnConsoleServer(1, "a"));
  EXPECT_TRUE(test::WaitUntil([&] { return ThreadCount() == before + 101; }))
      << ThreadCount() - before;
  ASSERT_TRUE(SpawnConsoleServer(2, "b"));
  EXPECT_TRUE(test::WaitUntil([&] { return ThreadCount() == before + 202; }))
      << ThreadCount() - before;
  test::LoopbackClient client;
  ASSERT_TRUE(client.Connect(static_cast<std::uint16_t>(test::PortBlock(52) + 1)));
  EXPECT_FALSE(client.ReadUntil("v0.1\r\n").empty());
}

}  // namespace
}  // namespace qc
