// The load program's scenarios. Each runs in a process of its own (the library's registry only
// grows and a spawned server never stops), measures the library and its baseline side by side,
// and reports its figures with ReportFigure. Each returns the process's exit code.
#pragma once

#include "load/load_support.h"

namespace qc::load {

// Ports of each scenario, as offsets from Options::basePort.
constexpr int kSpawnPortOffset = 0;     // 100 consoles
constexpr int kEchoPortOffset = 200;    // console, then the two baseline servers at +10, +11
constexpr int kFanOutPortOffset = 220;  // console, then the baseline listener at +10
constexpr int kStuckPortOffset = 240;   // one console
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

// Hostile and careless connections (hostile_input_scenarios.cpp, hostile_peer_scenarios.cpp,
// hostile_budget_scenarios.cpp).
// Each runs the session host with one console on Options::hostilePort, and reports figures
// hostile.<scenario>.<name> once.
// flood: "[spawns]" x 7000 every 10 ms, read slowly, for 6 s: the host's resident memory growth
// (peak_growth_kib, left_growth_kib) and another developer's "[who]" answers (who_max_ms ...).
// flood-sendbuffer-<KiB>: the same with that SendBufferVal (sendBufferKiB > 0).
int RunFloodScenario(const Options& options, int sendBufferKiB);
// paste-<lines>: a paste with "[who]" as every whoEvery-th line, host frames of 33 ms: lines
// typed, taken, lost and repeated, overflow notices, "[who]" answers.
int RunPasteScenario(const Options& options, int lines, int whoEvery);
// overflow-stream: 3 s of bytes without a line feed beside 300 typed lines: overflow notices
// (host, other developer) and the typed lines taken.
int RunOverflowStreamScenario(const Options& options);
// big-paste: 1.4 MB of short lines taken in one frame with two reading developers: who is
// dropped. full-stack: 100 lines of 64 KiB pasted while the host holds, two readers beside.
int RunBigPasteScenario(const Options& options);
int RunFullStackScenario(const Options& options);
// dawdlers[-win32]: three readers in short bursts and one that reads nothing while 12 MB are
// broadcast with SendBufferVal=65536: readers dropped, lines kept, the time to drop the one that
// reads nothing; natively or under wine.
int RunDawdlersScenario(const Options& options, bool underWine);
// password-gate: two connections keep guessing; the time to admit a right password from their
// address.
int RunPasswordGateScenario(const Options& options);
// accept-storm-<native|win32>: 2 s of connect-and-reset while 10 developers connect: their
// times to the welcome.
int RunAcceptStormScenario(const Options& options, bool underWine);
// prompt-flood: 5 consoles x 20 prompt connections sending telnet requests: the host's growth.
int RunPromptFloodScenario(const Options& options);
// prompt-hold: 7 addresses hold the prompt's places: the time to admit a right password.
int RunPromptHoldScenario(const Options& options);
// typo: a wrong password's answer time while 30 addresses guess on other consoles.
int RunTypoScenario(const Options& options);
// line-rate: typed lines as fast as the console takes them, beside readers of every speed.
int RunLineRateScenario(const Options& options);
// paste-10mb: 10 MB pasted through a host that answers what it runs: who is dropped.
int RunPaste10MbScenario(const Options& options);
// order-<ms>: 100,000 lines drained every drainMillis, oldest first: inversions, losses.
int RunOrderScenario(const Options& options, int drainMillis);
// unpolled: a host that stopped polling: 300 visits' welcomes, [who], [spawns], [quit].
int RunUnpolledScenario(const Options& options);
// stderr-unread: standard error a pipe nobody reads, Timeout on: [who] answer times.
int RunUnreadErrorScenario(const Options& options);
// worst-case-100: 100 connections at their input and output limits: the host's peak memory.
int RunWorstCaseScenario(const Options& options);

}  // namespace qc::load
