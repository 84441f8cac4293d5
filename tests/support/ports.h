// Every block of test ports, by name. A block is ten ports, PortBlock(block) .. +9, shifted by
// QC_TEST_PORT_OFFSET when it is set (test_support.h). Each test owns its blocks, so tests that
// run at the same time never meet; a new test adds its block here.
// The blocks lie at 20000-28999, below the ranges from which Linux (32768-60999) and Windows
// (49152-65535) pick the local ports of client sockets, so no other program holds one for long.
// The one exception is kServerListingSignedPorts, which needs a port above 32767 (printed as a
// negative number) and sits above Linux's range.
#pragma once

namespace qc::test {

enum PortBlockName : int {
  // tests/exports
  kSpawnPorts = 0,
  kSpawnSameGoid = 1,
  kSpawnUnboundPort = 2,
  kHostProbes = 3,
  kSpawnBindAddress = 4,
  kSessionEcho = 10,
  kSessionNewestFirst = 11,
  kSessionPieces = 12,
  kSessionCommands = 13,
  kSessionTimeout = 14,
  kSessionReset = 15,
  kSessionHundredClients = 16,
  kSessionOverflow = 17,
  kSessionLongestLine = 18,
  kBroadcastMsg = 19,
  kSessionTwoPollers = 21,
  kSessionPassword = 22,
  kClientListingLone = 30,
  kClientListingRows = 31,
  kHostilePrintf = 510,
  kHostileZeroBytes = 511,
  kHostileMegabyte = 512,
  kHostileSilentNoTimeout = 513,
  kHostileSilentTimeout = 514,
  kHostileStuckClient = 515,
  kHostileSlowReader = 516,
  kSpawnHundredConsoles = 600,  // ten blocks: one port per console
  kServerListingSignedPorts = 4150,
  // tests/net
  kSendAllReset = 40,
  kPeerAddress = 41,
  kListenSocket = 42,
  kWaitReadable = 43,
  kListenerUnbindable = 50,
  kTwoWorkers = 51,
  kThreadCount = 52,
  kTimeoutSignals = 53,
  kDescriptorShortage = 530,
  // tests/host and tests/common
  kRegistryRereadFirst = 60,
  kRegistryRereadSecond = 61,
  kRegistryNames = 62,
  kRegistryHundredAndFirst = 63,
  kRetrievalRewrite = 70,
  kRetrievalGrowth = 71,
  kRetrievalEmpty = 72,
  kPlatformClosedSocket = 90,
  kPlatformNegativeWait = 91,
  kSendToAllEachLine = 300,
  kSendToAllLongTexts = 301,
  kSendToAllReset = 302,
  kReportsAttachment = 310,
  kReportsUnknownGoid = 311,
  kSoak = 500,
  kRegistryRacingSpawns = 520,
  // Outside C++: the host project of tests/consumer (tests/CMakeLists.txt passes 700), and the
  // terminal-client scenarios of tests/demo/terminal_session_test.py (28000-28059).
  kConsumerProject = 700,
  kTerminalScenarios = 800,  // six blocks
  // tests/demo
  kDemoHostFirst = 810,
  kDemoHostSecond = 811,
  kDemoPortProbe = 812,
};

namespace port_blocks {

struct Span {
  int first;
  int blocks;
};

constexpr Span kAll[] = {
    {kSpawnPorts, 1}, {kSpawnSameGoid, 1}, {kSpawnUnboundPort, 1}, {kHostProbes, 1},
    {kSpawnBindAddress, 1}, {kSessionEcho, 1}, {kSessionNewestFirst, 1}, {kSessionPieces, 1},
    {kSessionCommands, 1}, {kSessionTimeout, 1}, {kSessionReset, 1}, {kSessionHundredClients, 1},
    {kSessionOverflow, 1}, {kSessionLongestLine, 1}, {kBroadcastMsg, 1}, {kSessionTwoPollers, 1},
    {kSessionPassword, 1}, {kClientListingLone, 1}, {kClientListingRows, 1}, {kHostilePrintf, 1},
    {kHostileZeroBytes, 1}, {kHostileMegabyte, 1}, {kHostileSilentNoTimeout, 1},
    {kHostileSilentTimeout, 1}, {kHostileStuckClient, 1}, {kHostileSlowReader, 1},
    {kSpawnHundredConsoles, 10}, {kServerListingSignedPorts, 1}, {kSendAllReset, 1},
    {kPeerAddress, 1}, {kListenSocket, 1}, {kWaitReadable, 1}, {kListenerUnbindable, 1},
    {kTwoWorkers, 1}, {kThreadCount, 1}, {kTimeoutSignals, 1}, {kDescriptorShortage, 1},
    {kRegistryRereadFirst, 1}, {kRegistryRereadSecond, 1}, {kRegistryNames, 1},
    {kRegistryHundredAndFirst, 1}, {kRetrievalRewrite, 1}, {kRetrievalGrowth, 1},
    {kRetrievalEmpty, 1}, {kPlatformClosedSocket, 1}, {kPlatformNegativeWait, 1},
    {kSendToAllEachLine, 1}, {kSendToAllLongTexts, 1}, {kSendToAllReset, 1},
    {kReportsAttachment, 1}, {kReportsUnknownGoid, 1}, {kSoak, 1}, {kRegistryRacingSpawns, 1},
    {kConsumerProject, 1}, {kTerminalScenarios, 6}, {kDemoHostFirst, 1}, {kDemoHostSecond, 1},
    {kDemoPortProbe, 1},
};

constexpr bool NoTwoOverlap() {
  const int count = static_cast<int>(sizeof kAll / sizeof kAll[0]);
  for (int i = 0; i < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      const Span a = kAll[i];
      const Span b = kAll[j];
      if (a.first < b.first + b.blocks && b.first < a.first + a.blocks) return false;
    }
  }
  return true;
}
static_assert(NoTwoOverlap(), "two tests share a block of ports");

}  // namespace port_blocks
}  // namespace qc::test
