// Micro-benchmarks of the routines behind the entry points that a host calls every frame or for
// every line: the system-notice test, the broadcast line format, the script rewriting, the
// report rewriting, the lookup by GoID and the poll of an empty console.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/reports.h"
#include "load/load_support.h"
#include "host/retrieval.h"
#include "host/spawn.h"
#include "net/broadcast.h"
#include "server/console_server.h"

namespace {

using qc::kTextBytes;

// The lookups run against 100 servers spawned the library's own way, on ports that the load
// program and the tests do not use.
constexpr int kServerCount = 100;
constexpr int kBasePort = 29500;
constexpr std::uint32_t kFirstGoid = 1001;
constexpr std::uint32_t kLastGoid = kFirstGoid + kServerCount - 1;
constexpr std::uint32_t kAbsentGoid = 7;

// Spawns the servers from a scratch directory that holds their profile file, then waits (at
// most 60 s) until every server listens and runs its one thread, so that no thread start runs
// beside the measurements.
bool SpawnHundredServers() {
  if (!qc::load::EnterScratchDirectory(kBasePort)) return false;
  const int before = qc::load::ThreadCount();
  bool spawned = true;
  for (int i = 0; i < kServerCount; ++i) {
    spawned =
        qc::SpawnConsoleServer(kFirstGoid + static_cast<std::uint32_t>(i), "bench") && spawned;
  }
  qc::load::LeaveScratchDirectory();
  return spawned && qc::load::WaitFor(60000, 5000, [&] {
           int listening = 0;
           for (std::uint32_t goid = kFirstGoid; goid <= kLastGoid; ++goid) {
             const qc::ConsoleServer* server = qc::FindServer(goid);
             if (server != nullptr && server->ListenSocket.load(std::memory_order_acquire) >= 0) {
               ++listening;
             }
           }
           return listening == kServerCount && qc::load::ThreadCount() >= before + kServerCount;
         });
}

void CheckSysMsg(benchmark::State& state, const char* text) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    bool notice = qc::IsSystemNotice(text);
    benchmark::DoNotOptimize(notice);
  }
}
BENCHMARK_CAPTURE(CheckSysMsg, first_prefix, "QC_OK: 127.0.0.1 connected (Port 30000, GoID: 42)");
BENCHMARK_CAPTURE(CheckSysMsg, last_prefix, "QC_REPORT: hello\")");
BENCHMARK_CAPTURE(CheckSysMsg, ordinary_line, "[this].Attack([that](17))\r\n");

// A host's answer of 100 bytes, as BroadcastMsg gets it.
std::string HundredByteText(const char* head) {
  std::string text(head);
  text.resize(99, 'x');
  return text + "\n";
}

void FormatBroadcastLine(benchmark::State& state, const char* head) {
  const std::string text = HundredByteText(head);
  static char line[kTextBytes];
  for (auto _ : state) {
    std::size_t length = qc::FormatBroadcastLine(text.c_str(), text.size(), line, sizeof line);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(FormatBroadcastLine, ordinary_100_bytes, "Health: 100, Position: (1, 2, 3)");
BENCHMARK_CAPTURE(FormatBroadcastLine, notice_100_bytes, "QC_OK: 127.0.0.1 connected");

// A line of about 64 KiB of script text with near misses ("[i].") but no token, and the same
// with tokens spread through it; both leave room for the tokens to grow.
std::string LongScript(int tokens) {
  std::string text;
  const std::string statement = "list[i].value = list[i].value + 1; ";
  while (text.size() + statement.size() < 65000) text += statement;
  const auto parts = static_cast<std::size_t>(tokens + 1);
  for (int t = 0; t < tokens; ++t) {
    const std::size_t at = text.size() * static_cast<std::size_t>(t + 1) / parts;
    text.insert(at, t % 2 == 0 ? "[this]." : "[that](");
  }
  return text + "\n";
}

// Rewrites input in a 64 KiB buffer. A text with tokens is rewritten in place, so every
// iteration first copies the input back; Copy64KiB below shows what that copy costs.
void RewriteScript(benchmark::State& state, const std::string& input) {
  const qc::ConsoleServer& server = *qc::FindServer(kFirstGoid);
  static char text[kTextBytes];
  std::memcpy(text, input.c_str(), input.size() + 1);
  const bool restore =
      input.find("[this].") != std::string::npos || input.find("[that](") != std::string::npos;
  for (auto _ : state) {
    if (restore) std::memcpy(text, input.c_str(), input.size() + 1);
    qc::RewriteScript(server, text);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}
BENCHMARK_CAPTURE(RewriteScript, short_no_tokens, std::string("print(GetHealth())\r\n"));
BENCHMARK_CAPTURE(RewriteScript, short_3_tokens,
                  std::string("[this].Attack([that](17)); [this].Say(\"hi\")\r\n"));
BENCHMARK_CAPTURE(RewriteScript, 64KiB_no_tokens, LongScript(0));
BENCHMARK_CAPTURE(RewriteScript, 64KiB_8_tokens, LongScript(8));

void Copy64KiB(benchmark::State& state) {
  const std::string input = LongScript(8);
  static char text[kTextBytes];
  for (auto _ : state) {
    std::memcpy(text, input.c_str(), input.size() + 1);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}
BENCHMARK(Copy64KiB);

// A report call is rewritten in place, so its input is copied back before every call (a few
// dozen bytes); a text that is no report call leaves the buffer alone.
void CheckReportMsg(benchmark::State& state, const std::string& input) {
  static char text[kTextBytes];
  std::memcpy(text, input.c_str(), input.size() + 1);
  for (auto _ : state) {
    std::memcpy(text, input.c_str(), input.size() + 1);
    const char* result = qc::RewriteReportCall(text);
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(CheckReportMsg, report_call, std::string("report.info(\"hello\")"));
BENCHMARK_CAPTURE(CheckReportMsg, ordinary_line, std::string("[this].Attack([that](17))"));

void FindServer(benchmark::State& state, std::uint32_t goid) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(goid);
    qc::ConsoleServer* server = qc::FindServer(goid);
    benchmark::DoNotOptimize(server);
  }
}
BENCHMARK_CAPTURE(FindServer, first_of_100, kFirstGoid);
BENCHMARK_CAPTURE(FindServer, last_of_100, kLastGoid);
BENCHMARK_CAPTURE(FindServer, absent_of_100, kAbsentGoid);

// The host's poll of a console with nothing pending: lookup and the unlocked count test.
void GetNextMessageEmpty(benchmark::State& state, std::uint32_t goid) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(goid);
    const char* text = qc::TakeNextMessage(goid);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK_CAPTURE(GetNextMessageEmpty, first_of_100, kFirstGoid);
BENCHMARK_CAPTURE(GetNextMessageEmpty, last_of_100, kLastGoid);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!SpawnHundredServers()) {
    std::fprintf(stderr, "qc_routines_bench: cannot spawn %d servers on ports %d to %d\n",
                 kServerCount, kBasePort, kBasePort + kServerCount - 1);
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
