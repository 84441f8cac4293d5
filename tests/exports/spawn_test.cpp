// Spawning consoles through the exported entry points, and the host probes, as a host sees them.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "exports/host_fixture.h"
#include "support/ports.h"
// The loader's definitions, compiled once for each test program of this folder.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"

namespace qc::test {
namespace {

TEST(SpawnServerTest, ListensOnBasePortPlusSpawnIndex) {
  const std::uint16_t port = PortBlock(kSpawnPorts);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(11, "goblin"));
  ASSERT_TRUE(Spawn(12, "chest"));

  LoopbackClient first, second;
  ASSERT_TRUE(Attach(first, port));
  ASSERT_TRUE(Attach(second, static_cast<std::uint16_t>(port + 1)));
  EXPECT_EQ(NextMessage(11), ConnectedNotice(port, 11));
  EXPECT_EQ(NextMessage(12), ConnectedNotice(static_cast<std::uint16_t>(port + 1), 12));
}

// As many consoles as the registry holds, each with a developer attached at once, then ten of
// them full, a thousand developers in all, each welcomed and sent a broadcast: in a 32-bit host
// this has to fit the process's 2 GiB with the consoles' threads and connections.
TEST(SpawnServerTest, AHundredConsolesEachWelcomeADeveloperAndTenServeAHundredEach) {
  os::RaiseDescriptorLimit();
  const std::uint16_t port = PortBlock(kSpawnHundredConsoles);  // blocks 600-609: 100 ports
  WriteProfile(ProfileWithPort(port));
  for (unsigned i = 0; i < 100; ++i) ASSERT_TRUE(Spawn(1000 + i, "crowd")) << i;
  EXPECT_FALSE(Spawn(1100, "one too many"));
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (unsigned i = 0; i < 100; ++i) {
    const auto at = static_cast<std::uint16_t>(port + i);
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(Attach(*clients.back(), at)) << "console " << i;
    ASSERT_EQ(NextMessage(1000 + i), ConnectedNotice(at, static_cast<int>(1000 + i)));
  }
  for (unsigned i = 0; i < 10; ++i) {
    for (int more = 1; more < 100; ++more) {
      clients.push_back(std::make_unique<LoopbackClient>());
      ASSERT_TRUE(Attach(*clients.back(), static_cast<std::uint16_t>(port + i)))
          << i << " " << more;
    }
  }
  for (unsigned i = 0; i < 10; ++i) Broadcast(1000 + i, "QC_OK: to a full console");
  // The first hundred clients are one per console; the rest went to the first ten.
  for (std::size_t k = 0; k < clients.size(); ++k) {
    if (k >= 10 && k < 100) continue;
    EXPECT_FALSE(clients[k]->ReadUntil("QC_OK: to a full console\r\n").empty()) << k;
  }
}

TEST(SpawnServerTest, WithoutProfileFileUsesPort30000AndConfirms) {
  WriteProfile("");
  ASSERT_TRUE(Spawn(5, "default"));
  ASSERT_TRUE(Spawn(6, "default"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, 30001));
  EXPECT_EQ(NextMessage(6), ConnectedNotice(30001, 6));
  EXPECT_TRUE(Console().GetFlagConfirm(5));
}

TEST(SpawnServerTest, SameGoIDTwiceMakesTwoServersAndLookupsFindTheFirst) {
  const std::uint16_t port = PortBlock(kSpawnSameGoid);
  WriteProfile(ProfileWithPort(port, "Timeout=On\nTimeoutVal=500\n"));
  ASSERT_TRUE(Spawn(7, "first"));
  ASSERT_TRUE(Spawn(7, "second"));

  LoopbackClient onSecond;
  ASSERT_TRUE(Attach(onSecond, static_cast<std::uint16_t>(port + 1)));
  ASSERT_EQ(onSecond.ReadUntil(kTimedOut), kTimedOut);
  ASSERT_TRUE(SendAlone(onSecond, "hello\r\n"));  // pushed on the second server
  ASSERT_TRUE(onSecond.Send("[spawns]\r\n"));
  const std::string listing = onSecond.ReadUntil("End of list\r\n");
  EXPECT_NE(listing.find("[01]\tPort: " + std::to_string(port) + ", GoID: 7, TemplateName: first"),
            std::string::npos);
  EXPECT_NE(
      listing.find("[02]\tPort: " + std::to_string(port + 1) + ", GoID: 7, TemplateName: second"),
      std::string::npos);
  // Every lookup by GoID 7 reaches the first server, whose stack is empty.
  EXPECT_STREQ(Console().GetNextMessage(7), "");
  EXPECT_NE(std::string(Console().TestDLL(7)).find("TemplateName: first"), std::string::npos);
}

TEST(SpawnServerTest, UnboundPortIsReportedOnceAndStillCountsAsSpawned) {
  const std::uint16_t port = PortBlock(kSpawnUnboundPort);
  WriteProfile(ProfileWithPort(port));
  const int holder = os::ListenLoopback(port);  // another program holds the port
  ASSERT_GE(holder, 0);
  StderrCapture errors;
  ASSERT_TRUE(Spawn(21, "blocked"));
  ASSERT_TRUE(errors.WaitFor("QC_ERROR: bind() failed\n"));
  // A second server after it gets the next port and works.
  ASSERT_TRUE(Spawn(22, "after"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, static_cast<std::uint16_t>(port + 1)));
  EXPECT_EQ(errors.Count("QC_ERROR: bind() failed\n"), 1);
  EXPECT_EQ(errors.Text(), "QC_ERROR: bind() failed\n");
  EXPECT_TRUE(Console().GetFlagConfirm(21));
  CloseSocket(holder);
}

TEST(SpawnServerTest, BindAddressListensThereOnlyAndAnUnusableOneNowhere) {
  const std::uint16_t port = PortBlock(kSpawnBindAddress);
  const auto next = [port](int i) { return static_cast<std::uint16_t>(port + i); };
  StderrCapture errors;
  WriteProfile(ProfileWithPort(port, "BindAddress=127.0.0.1\n"));
  ASSERT_TRUE(Spawn(31, "here"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port));
  EXPECT_LT(os::ConnectLoopback(port, nullptr, "127.0.0.2"), 0);
  // Unusable values are reported, and the spawn counts, as for a port that cannot be bound.
  WriteProfile(ProfileWithPort(port, "BindAddress=127.0.0.256\n"));
  ASSERT_TRUE(Spawn(32, "nowhere"));
  const int holder = os::ListenLoopback(next(2));
  WriteProfile(ProfileWithPort(port, "BindAddress=127.0.0.1\n"));
  ASSERT_TRUE(Spawn(33, "taken"));
  ASSERT_TRUE(errors.WaitFor("QC_ERROR: bind() failed (BindAddress 127.0.0.1)\n"));
  EXPECT_EQ(errors.Text(),
            "QC_ERROR: BindAddress \"127.0.0.256\" is not an IPv4 address\n"
            "QC_ERROR: bind() failed (BindAddress 127.0.0.1)\n");
  for (const char* to : {"127.0.0.1", "127.0.0.2"}) {
    EXPECT_LT(os::ConnectLoopback(next(1), nullptr, to), 0) << to;
  }
  CloseSocket(holder);
}

TEST(HostProbesTest, TestDLLAndGetFlagConfirmAnswerPerServer) {
  const std::uint16_t port = PortBlock(kHostProbes);
  WriteProfile(ProfileWithPort(port, "SpawnConfirm=Off\n"));
  ASSERT_TRUE(Spawn(4294967295u, "goblin"));
  WriteProfile(ProfileWithPort(port, "SpawnConfirm=off\n"));
  ASSERT_TRUE(Spawn(42, "chest"));

  EXPECT_STREQ(Console().TestDLL(4294967295u),
               "Dev console attached to object\n\nGoID: -1\nTemplateName: goblin");
  EXPECT_STREQ(Console().TestDLL(42),
               "Dev console attached to object\n\nGoID: 42\nTemplateName: chest");
  EXPECT_FALSE(Console().GetFlagConfirm(4294967295u));
  EXPECT_TRUE(Console().GetFlagConfirm(42));
  EXPECT_FALSE(Console().GetFlagConfirm(99));
  EXPECT_STREQ(Console().TestDLL(99), "");
  EXPECT_STREQ(Console().GetNextMessage(99), "");
}

TEST(HostProbesTest, CheckSysMsgAndCheckReportMsgThroughTheExports) {
  EXPECT_TRUE(Console().CheckSysMsg("QC_OK:"));
  EXPECT_TRUE(Console().CheckSysMsg("QC_REPORT: x"));
  EXPECT_FALSE(Console().CheckSysMsg(" QC_OK:"));
  char report[64] = "report.info(\"hello\")";
  const char* result = Console().CheckReportMsg(report);
  EXPECT_EQ(result, report);
  EXPECT_STREQ(result, "\"QC_REPORT: hello\")");
  char plain[64] = "print(\"hello\")";
  EXPECT_STREQ(Console().CheckReportMsg(plain), "");
  EXPECT_STREQ(plain, "print(\"hello\")");
}

}  // namespace
}  // namespace qc::test
