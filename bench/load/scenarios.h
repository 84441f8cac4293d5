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

// Echo round trip of short lines: the console (a host thread busy-polling GetNextMessage), an
// in-process stand-in of the same shape, and a plain blocking echo server.
// Figures echo.{library,sameshape,plain}.{p50,p99} in ns, one per round.
int RunEchoScenario(const Options& options);

// BroadcastMsg of a 100-byte text to 100 reading clients against plain send calls of the same
// line to 100 sockets. Figures fanout.{library,plain}.ns per client-send, one per round.
int RunFanOutScenario(const Options& options);

// Spawns 100 consoles, then polls all of them once per frame with nothing pending.
// Figures spawn.library.{listen_ms,ms,rss_kib,threads} once; frame.{library,bare}.ns, one per
// round.
int RunSpawnScenario(const Options& options);

// Creates as many idle threads as 100 consoles of the earlier design ran (100 x 101), with
// the stack size they had (1 MiB). Figures spawn.idle.{ms,rss_kib,threads}.
int RunIdleThreadsScenario(const Options& options);

// One console with SendTimeoutVal sendTimeoutMillis, 10 reading clients and one that never
// reads; the host broadcasts 4 KiB texts until the stuck client is dropped, and for a while
// after. Figures stuck.<millis>.{limit_ms,longest_broadcast_ms,longest_poll_ms,slow_calls,
// broadcasts,fill_ms,notice_ms,readers_missing_lines} once.
int RunStuckScenario(const Options& options, int sendTimeoutMillis);

}  // namespace qc::load
