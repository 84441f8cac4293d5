// Spawning and configuration: the registry, the lookup, and the profile keys.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "host/spawn.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

// A record as a spawn makes it, configured from the given profile file.
struct Configured {
  ConsoleServer* server = NewConsoleServer(0, "");
  explicit Configured(const std::string& profile, int index = 0) {
    test::WriteProfile(profile);
    ConfigureServer(*server, index);
  }
  ~Configured() { DeleteConsoleServer(server); }
};

TEST(ConfigureServerTest, ProfileKeysAndDefaults) {
  const struct {
    const char* profile;
    int index;
    int port;
    bool timeoutEnabled;
    int seconds;
    int micros;
    bool confirm;
  } cases[] = {
      {"", 0, 30000, false, 60, 0, true},
      {"", 3, 30003, false, 60, 0, true},
      {"[QCServer]\nBasePort=32767\n", 1, -32768, false, 60, 0, true},
      {"[QCServer]\nBasePort=65535\n", 2, 1, false, 60, 0, true},
      {"[QCServer]\nTimeout=Off\nSpawnConfirm=Off\n", 0, 30000, false, 60, 0, false},
      {"[QCServer]\nTimeout=off\nSpawnConfirm=off\n", 0, 30000, true, 60, 0, true},
      {"[QCServer]\nTimeout=\nSpawnConfirm=\n", 0, 30000, true, 60, 0, true},
      {"[qcserver]\ntimeout = 'Off'\nspawnconfirm=\"Off\"\n", 0, 30000, false, 60, 0, false},
      {"[QCServer]\nTimeoutVal=1500\n", 0, 30000, false, 1, 500000, true},
      {"[QCServer]\nTimeoutVal=999\n", 0, 30000, false, 0, 999000, true},
      // Below 100 ms a time-out would notify without pause: it reads as 100.
      {"[QCServer]\nTimeoutVal=-1500\n", 0, 30000, false, 0, 100000, true},
      {"[QCServer]\nTimeoutVal=0\n", 0, 30000, false, 0, 100000, true},
      {"[QCServer]\nTimeoutVal=\nBasePort=\n", 0, 30000, false, 60, 0, true},
      {"[Other]\nBasePort=1000\n", 0, 30000, false, 60, 0, true},
  };
  for (const auto& c : cases) {
    const Configured configured(c.profile, c.index);
    const ConsoleServer& s = *configured.server;
    SCOPED_TRACE(c.profile);
    EXPECT_EQ(s.Port, c.port);
    EXPECT_EQ(s.TimeoutEnabled, c.timeoutEnabled);
    EXPECT_EQ(s.Timeout.seconds, c.seconds);
    EXPECT_EQ(s.Timeout.micros, c.micros);
    EXPECT_EQ(s.SpawnConfirm, c.confirm);
  }
  // The send limit: 0 waits without limit, and a negative time means the default.
  const std::pair<const char*, int> sendLimits[] = {{"", 2000},
                                                    {"[QCServer]\nSendTimeoutVal=750\n", 750},
                                                    {"[QCServer]\nSendTimeoutVal=0\n", 0},
                                                    {"[QCServer]\nSendTimeoutVal=-5\n", 2000}};
  for (const auto& [profile, millis] : sendLimits) {
    EXPECT_EQ(Configured(profile).server->SendTimeoutMillis, millis) << profile;
  }
  // The send buffer limit, in KiB: never below the room for the longest line, never above
  // 1 GiB (whose hard limit, four times it, a 32-bit build still counts).
  const std::pair<const char*, std::size_t> bufferLimits[] = {
      {"", 1024},
      {"[QCServer]\nSendBufferVal=4096\n", 4096},
      {"[QCServer]\nSendBufferVal=100\n", 128},
      {"[QCServer]\nSendBufferVal=-1\n", 128},
      {"[QCServer]\nSendBufferVal=4194304\n", 1048576}};
  for (const auto& [profile, kib] : bufferLimits) {
    EXPECT_EQ(Configured(profile).server->SendBufferBytes, kib * 1024) << profile;
  }
  // The access keys; a value that cannot be used is reported and opens no port.
  const struct {
    std::string profile;
    std::uint32_t address;
    const char* password;
    bool refused;
  } access[] = {{"", 0, "", false},
                {"[QCServer]\nBindAddress=127.0.0.1\nPassword=\" Open sesame\"\n", 0x7f000001u,
                 " Open sesame", false},
                {"[QCServer]\nBindAddress=localhost\n", 0, "", true},
                {"[QCServer]\nPassword=" + std::string(1024, 'p') + "\n", 0, "", true}};
  test::StderrCapture errors;
  for (const auto& c : access) {
    const Configured configured(c.profile);
    EXPECT_EQ(configured.server->ListenAddress, c.address) << c.profile;
    if (!c.refused) {
      EXPECT_STREQ(configured.server->Password, c.password) << c.profile;
    }
    EXPECT_EQ(configured.server->ListenRefused, c.refused) << c.profile;
  }
  EXPECT_EQ(errors.Text(),
            "QC_ERROR: BindAddress \"localhost\" is not an IPv4 address\n"
            "QC_ERROR: Password is longer than 1023 characters\n");
}

TEST(SpawnConsoleServerTest, ReadsTheProfileAnewAtEverySpawn) {
  test::WriteProfile(test::ProfileWithPort(test::PortBlock(test::kRegistryRereadFirst)));
  ASSERT_TRUE(SpawnConsoleServer(1, "one"));
  const std::uint16_t second = test::PortBlock(test::kRegistryRereadSecond);
  test::WriteProfile(test::ProfileWithPort(second, "SpawnConfirm=Off\n"));
  ASSERT_TRUE(SpawnConsoleServer(2, "two"));
  EXPECT_EQ(FindServer(1)->Port, test::PortBlock(test::kRegistryRereadFirst));
  EXPECT_EQ(FindServer(2)->Port, second + 1);  // new base plus the index
  EXPECT_TRUE(FindServer(1)->SpawnConfirm);
  EXPECT_FALSE(FindServer(2)->SpawnConfirm);
}

TEST(SpawnConsoleServerTest, RecordsNamesAndFindsTheFirstOfEqualGoIDs) {
  test::WriteProfile(test::ProfileWithPort(test::PortBlock(test::kRegistryNames)));
  const std::string longName(2000, 'n');
  ASSERT_TRUE(SpawnConsoleServer(4294967295u, longName.c_str()));
  ASSERT_TRUE(SpawnConsoleServer(4294967295u, "second"));
  ASSERT_TRUE(SpawnConsoleServer(2147483648u, nullptr));
  ConsoleServer* first = FindServer(4294967295u);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::string(first->TemplateName), std::string(1023, 'n'));
  EXPECT_STREQ(first->ThisPrefix, "MakeGoid(-1).");
  EXPECT_EQ(first, Registry().Servers[0]);
  EXPECT_STREQ(FindServer(2147483648u)->ThisPrefix, "MakeGoid(-2147483648).");
  EXPECT_STREQ(FindServer(2147483648u)->TemplateName, "");
  EXPECT_EQ(FindServer(12345), nullptr);
}

TEST(SpawnConsoleServerTest, RefusesTheHundredAndFirstServer) {
  // Ports that cannot be bound are fine here: only the registry is under test, and the
  // listeners end at once without starting workers.
  const int holder = test::os::ListenLoopback(test::PortBlock(test::kRegistryHundredAndFirst));
  ASSERT_GE(holder, 0);
  test::StderrCapture errors;  // keeps the expected bind failures off the test log
  // Server i listens on BasePort + i: lowering the base with every spawn keeps them all on the
  // held port, away from other tests.
  for (int i = 0; i < kMaxServers; ++i) {
    const int base = test::PortBlock(test::kRegistryHundredAndFirst) - i;
    test::WriteProfile("[QCServer]\nBasePort=" + std::to_string(base) + "\n");
    ASSERT_TRUE(SpawnConsoleServer(static_cast<std::uint32_t>(i), "many")) << i;
  }
  // A refused spawn gives back its record and its locks. Another thread may hold more or less
  // for a moment, so a few tries are allowed; a leak would show in every one.
  bool keptNothing = false;
  for (int attempt = 0; attempt < 5 && !keptNothing; ++attempt) {
    const long before = test::os::HeldResources();
    EXPECT_FALSE(SpawnConsoleServer(1000, "one too many"));
    keptNothing = test::os::HeldResources() == before;
  }
  EXPECT_TRUE(keptNothing);
  EXPECT_EQ(Registry().Count.load(), kMaxServers);
  EXPECT_EQ(FindServer(1000), nullptr);
  EXPECT_TRUE(errors.WaitFor("QC_ERROR: bind() failed\n"));
  EXPECT_TRUE(test::WaitUntil([&] { return errors.Count("bind() failed") == kMaxServers; }));
  test::CloseSocket(holder);
}

// Host threads that spawn at the same moment, the process's first spawns among them, all get a
// server of their own: one registry lock is made, and every insertion takes it.
TEST(SpawnConsoleServerTest, SpawnsFromSeveralThreadsAtOnceAllRegister) {
  test::WriteProfile(test::ProfileWithPort(test::PortBlock(test::kRegistryRacingSpawns)));
  test::StderrCapture errors;  // the ports above the block's first are held by nobody; fine
  constexpr int kThreads = 4;
  std::atomic<bool> go{false};
  std::atomic<int> spawned{0};
  std::vector<std::thread> hosts;
  for (int i = 0; i < kThreads; ++i) {
    hosts.emplace_back([&, i] {
      while (!go) std::this_thread::yield();
      if (SpawnConsoleServer(static_cast<std::uint32_t>(700 + i), "racer")) ++spawned;
    });
  }
  go = true;
  for (std::thread& host : hosts) host.join();
  EXPECT_EQ(spawned.load(), kThreads);
  ASSERT_EQ(Registry().Count.load(), kThreads);
  for (int i = 0; i < kThreads; ++i) {
    ConsoleServer* server = FindServer(static_cast<std::uint32_t>(700 + i));
    ASSERT_NE(server, nullptr) << i;
    EXPECT_GE(server->Port, test::PortBlock(test::kRegistryRacingSpawns));
    EXPECT_LT(server->Port, test::PortBlock(test::kRegistryRacingSpawns) + kThreads);
  }
}

}  // namespace
}  // namespace qc
