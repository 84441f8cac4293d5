// Every block of test ports, by name. A block is ten ports, PortBlock(block) .. +9, shifted by
// QC_TEST_PORT_OFFSET when it is set (test_support.h). Each test owns its blocks, so tests that
// run at the same time never meet; a new test adds its block here. The names take consecutive
// numbers, so no two blocks can overlap; a test that needs several blocks reserves them with a
// marker of its last one.
// The blocks lie at 20000-28999, below the ranges from which Linux (32768-60999) and Windows
// (49152-65535) pick the local ports of client sockets, so no other program holds one for long.
// The one exception is kServerListingSignedPorts, which needs a port above 32767 (printed as a
// negative number) and sits above Linux's range.
#pragma once

namespace qc::test {

enum PortBlockName : int {
  // tests/exports
  kSpawnPorts,
  kSpawnSameGoid,
  kSpawnUnboundPort,
  kHostProbes,
  kSpawnBindAddress,
  kSpawnHundredConsoles,  // one port per console
  kSpawnHundredConsolesLast = kSpawnHundredConsoles + 9,
  kSessionEcho,
  kSessionNewestFirst,
  kSessionPieces,
  kSessionCommands,
  kSessionTimeout,
  kSessionReset,
  kSessionHundredClients,
  kSessionOverflow,
  kSessionLongestLine,
  kBroadcastMsg,
  kSessionTwoPollers,
  kSessionPassword,
  kClientListingLone,
  kClientListingRows,
  kHostilePrintf,
  kHostileZeroBytes,
  kHostileMegabyte,
  kHostileSilentNoTimeout,
  kHostileSilentTimeout,
  kHostileStuckClient,
  kHostileSlowReader,
  kHostileLastWords,
  kHostilePaste,
  // tests/net
  kSendAllReset,
  kPeerAddress,
  kListenSocket,
  kHostileTenStuck,
  kListenerUnbindable,
  kTwoWorkers,
  kThreadCount,
  kTimeoutSignals,
  kDescriptorShortage,
  // tests/host, tests/common, tests/soak, tests/demo
  kRegistryRereadFirst,
  kRegistryRereadSecond,
  kRegistryNames,
  kRegistryHundredAndFirst,
  kRegistryRacingSpawns,
  kRetrievalRewrite,
  kRetrievalGrowth,
  kRetrievalEmpty,
  kPlatformClosedSocket,
  kPlatformNegativeWait,
  kSendToAllEachLine,
  kSendToAllLongTexts,
  kOrderUnderBackPressure,
  kReportsAttachment,
  kReportsUnknownGoid,
  kSoak,
  kDemoHostFirst,
  kDemoHostSecond,
  kDemoPortProbe,
  // tests/faults
  kFaultScenario,
  // tests/net: accepting and descriptors
  kAcceptUnknownFailure,
  kAcceptResetStorm,
  kChildProcessQuit,
  // tests/exports, tests/common: one budget per connection
  kHostileUnreadStderr,
  kHostilePacedPaste,
  kHostileHostAway,
  kPlatformTunedConnection,
  kHostileDeparted,
  kLastNumberedBlock = kHostileDeparted,

  // Blocks whose numbers are written outside C++ as well: the host project of tests/consumer
  // (tests/CMakeLists.txt passes 700), the scenarios of tests/demo/terminal_session_test.py
  // (28000-28059), those of tests/client/attach_test.py (28100-28199) and those of
  // tests/web/web_test.py (28200-28269).
  kConsumerProject = 700,
  kTerminalScenarios = 800,    // six blocks
  kAttachScenarios = 810,      // five blocks
  kWinConsoleScenarios = 815,  // two blocks: the Windows client in wine's console
  kAttachMoreScenarios = 817,  // three blocks
  kWebScenarios = 820,         // seven blocks
  kServerListingSignedPorts = 4150,
};

static_assert(kLastNumberedBlock < kConsumerProject, "the numbered blocks reach the fixed ones");
static_assert(kTerminalScenarios + 6 <= kAttachScenarios &&
                  kAttachScenarios + 5 <= kWinConsoleScenarios &&
                  kWinConsoleScenarios + 2 <= kAttachMoreScenarios &&
                  kAttachMoreScenarios + 3 <= kWebScenarios &&
                  kWebScenarios + 7 <= kServerListingSignedPorts,
              "the scenarios' blocks overlap their neighbours");

}  // namespace qc::test
