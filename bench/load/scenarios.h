// The load program's scenarios. Each runs in a process of its own (the library's registry only
// grows and a spawned server never stops), measures the library and its baseline side by side,
// and reports its figures with ReportFigure. Each returns the process's exit code.
#pragma once

#include "load/scene.h"

namespace qc::load {

// Ports of each scenario, as offsets from Options::basePort.
constexpr int kSpawnPortOffset = 0;       // 100 consoles
constexpr int kEchoPortOffset = 200;      // console, then the two baseline servers at +10, +11
constexpr int kFanOutPortOffset = 220;    // console, then the baseline listener at +10
constexpr int kStuckPortOffset = 240;     // one console
constexpr int kSessionsPortOffset = 600;  // 100 consoles (each run shifts basePort by 100)
constexpr int kChurnPortOffset = 2000;    // 100 consoles (the earlier build's run: +100)
constexpr int kPortSpan = 2200;           // every scenario's ports lie below basePort + this

// Echo round trip of short lines: the console (a host thread busy-polling GetNextMessage), an
// in-process stand-in of the same shape, and a plain blocking echo server.
// Figures echo.{library,sameshape,plain}.{p50,p99} in ns, one per round.
int RunEchoScenario(const Options& options);

// Host calls against clients reading clients (1, 10 or 100): each BroadcastMsg of a 100-byte
// text and each GetNextMessage that echoes a typed line, timed on its own. Figures
// calls.library.{broadcast,echo}.<clients>.{p50,p99} in ns, one per round. With 100 clients
// also BroadcastMsg against plain send calls of the same line to 100 sockets,
// fanout.{library,plain}.ns per client-send, and the lines delivered per second to the 100,
// delivery.{library,plain}.lines_per_s, one per round.
int RunFanOutScenario(const Options& options, int clients);

// Spawns 100 consoles, then polls all of them once per frame with nothing pending.
// Figures spawn.library.{listen_ms,ms,rss_kib,threads} once; frame.{library,bare}.ns, one per
// round.
int RunSpawnScenario(const Options& options);

// Creates as many idle threads as 100 consoles of the earlier design ran (100 x 101), with
// the stack size they had (1 MiB). Figures spawn.idle.{ms,rss_kib,threads}.
int RunIdleThreadsScenario(const Options& options);

// One console with SendTimeoutVal sendTimeoutMillis, 10 reading clients and stuckCount that
// never read; the host broadcasts 4 KiB texts until the stuck clients are dropped, and for a
// while after. Figures stuck.<count>.<millis>.library.{limit_ms,longest_call_ms,
// longest_broadcast_ms,longest_poll_ms,longest_after_ms,slow_calls,broadcasts,fill_ms,notice_ms,
// readers_missing_lines} once.
int RunStuckScenario(const Options& options, int stuckCount, int sendTimeoutMillis);

// 100 consoles x 100 developers in the session host (natively, or the 32-bit Windows host under
// wine): how many are welcomed, the time to attach them, and the host's threads and memory.
// Figures sessions.<native|win32>.library.{clients,spawned,welcomed,notices,broadcast_received,
// closed_by_console,attach_ms,broadcast_ms,[base_]{threads,rss_kib,vm_kib,descriptors},
// diagnostics} once.
int RunSessionsScenario(const Options& options, bool underWine);

// Options::churnDevelopers developers on 100 consoles of the session host connecting, typing,
// listing and leaving for Options::churnSeconds. Figures churn.library.* once (lines typed,
// received, lost and repeated; the host's threads, memory and descriptors at start and end).
int RunChurnScenario(const Options& options);

// Hostile and careless connections, each a scene on the session host (scene.h) whose figures
// and rows are named hostile.<scenario>.<figure>; what each does and measures is told where it
// is defined: flood, paste, overflow-stream, big-paste and full-stack in
// hostile_input_scenarios.cpp; dawdlers, password-gate, accept-storm, prompt-flood, prompt-hold
// and typo in hostile_peer_scenarios.cpp; the rest in hostile_budget_scenarios.cpp.
int RunFloodScenario(const Options& options, int sendBufferKiB);  // 0: the default
int RunPasteScenario(const Options& options, int lines, int whoEvery);
int RunOverflowStreamScenario(const Options& options);
int RunBigPasteScenario(const Options& options);
int RunFullStackScenario(const Options& options);
int RunDawdlersScenario(const Options& options, bool underWine);
int RunPasswordGateScenario(const Options& options);
int RunAcceptStormScenario(const Options& options, bool underWine);
int RunPromptFloodScenario(const Options& options);
int RunPromptHoldScenario(const Options& options);
int RunTypoScenario(const Options& options);
int RunLineRateScenario(const Options& options);
int RunPaste10MbScenario(const Options& options);
int RunOrderScenario(const Options& options, int drainMillis);
int RunUnpolledScenario(const Options& options);
int RunUnreadErrorScenario(const Options& options);
int RunWorstCaseScenario(const Options& options);

}  // namespace qc::load
