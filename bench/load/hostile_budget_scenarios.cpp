// What one connection may cost the others and the host, each at a limit of its own: a flood of
// typed lines at line rate beside readers of every speed, a 10 MB paste through a host that runs
// what it takes, the order of a long paste, a console whose host stops polling, a standard error
// that nobody reads, and the memory of 100 connections at their limits. Each runs the session
// host with one console.
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
// One developer sends 1000-byte typed lines as fast as the console takes them for 5 s and reads
// its own output at full speed; another reads at full speed, a third about 1 MB/s (10 KB, then
// 10 ms of rest), and a fourth (from 127.0.0.2, 8 KiB receive buffer) nothing. Host frames of
// 33 ms, SendTimeoutVal 2000. Measured: who was dropped, the time from the flood's start to the
// host's notice that the one that reads nothing was dropped, and the host's peak growth.
int RunLineRateScenario(const Options& options) {
  constexpr int kFloodMillis = 5000;
  Scene scene(options, "line-rate");
  Developer flooder, fast, slow, idle;
  if (!scene.Start({}) || !scene.Attach(flooder) || !scene.Attach(fast) || !scene.Attach(slow) ||
      !scene.Attach(idle, 0, "127.0.0.2", 8192) || !scene.WaitConnected(4) || !scene.Ask("mark")) {
    return 1;
  }
  scene.MarkMemory();
  flooder.StartReading(ReadPattern{});
  fast.StartReading(ReadPattern{});
  slow.StartReading(ReadPattern{20, 10000, 10, 10, 1});
  const std::int64_t start = NowNanos(), end = start + kFloodMillis * kMillis;
  long long typed = 0;
  while (NowNanos() < end && flooder.EndedAt() == 0) {
    const std::string chunk = TypedLines(1, typed, 64, 1000);
    const std::size_t sent = SendUntil(flooder.Socket(), chunk.data(), chunk.size(), end);
    typed += static_cast<long long>(sent / 1000);
    if (sent < chunk.size()) break;
  }
  scene.Row("5 s at line rate: typed bytes the console took", "typed_mb_per_s",
            static_cast<double>(typed) * 1000 * 1e3 / static_cast<double>(NowNanos() - start),
            "MB/s", -1, false);
  scene.WaitForLines(typed, 3000, 60000);
  scene.WaitForCount(10000, [](const HostCount& c) { return c.disconnected >= 1; });
  scene.Row("5 s at line rate: readers dropped (of 2: at full speed, about 1 MB/s)",
            "readers_dropped", fast.Dropped() + slow.Dropped(), "", 0);
  scene.Row("5 s at line rate: the reader of nothing dropped after (SendTimeoutVal 2000)",
            "idle_drop_ms", scene.NoticeMillis("127.0.0.2 disconnected"), "ms", 3000);
  scene.Row("5 s at line rate: host's resident memory growth at its peak", "peak_growth_mib",
            scene.PeakGrowthKiB() / 1024, "MiB", 32);
  scene.Row("5 s at line rate: the flooder dropped (1: yes)", "flooder_dropped", flooder.Dropped());
  scene.Row("5 s at line rate: the slow reader's rate", "slow_read_kb_per_s",
            static_cast<double>(slow.BytesRead()) / kFloodMillis, "kB/s", -1, false);
  scene.Figure("fast_dropped", fast.Dropped());
  scene.Figure("slow_dropped", slow.Dropped());
  scene.TallyFigures(1, typed, "5 s at line rate", -1, false);
  return scene.Finish();
}

// One developer pastes 10 MB (125,000 lines of 80 bytes) in one write and reads its own output,
// beside two other developers who read at full speed. The host drains every frame (33 ms) and
// runs each batch oldest first, answering each message with a line, as the demo host does.
// Measured: who was dropped, and the lines the host took.
int RunPaste10MbScenario(const Options& options) {
  constexpr long long kLines = 125000;
  Scene scene(options, "paste-10mb");
  Developers developers;
  if (!scene.Start({1, 33, {}, {"--oldest-first", "--answer"}}) ||
      !scene.AttachMany(developers, 3) || !scene.WaitConnected(3)) {
    return 1;
  }
  for (auto& developer : developers) developer->StartReading(ReadPattern{});
  const std::string paste = TypedLines(1, 0, kLines, 80);
  const std::int64_t start = NowNanos();
  const std::size_t sent =
      SendUntil(developers[0]->Socket(), paste.data(), paste.size(), start + 120000 * kMillis);
  scene.Row("10 MB paste: until it was sent", "send_ms",
            static_cast<double>(NowNanos() - start) / kMillis, "ms", -1, false);
  scene.Figure("bytes_unsent", static_cast<double>(paste.size() - sent));
  scene.WaitForLines(kLines, 5000, 120000);
  SleepUntil(NowNanos() + 500 * kMillis);  // the last echoes reach the readers
  int dropped = 0;
  for (auto& developer : developers) dropped += developer->Dropped();
  scene.Row("10 MB paste, the host running what it takes: developers dropped (of 3)", "dropped",
            dropped, "", 0);
  scene.Figure("paster_dropped", developers[0]->Dropped());
  scene.TallyFigures(1, kLines, "10 MB paste", -1);
  return scene.Finish();
}

// One developer pastes 100,000 lines of 100 bytes (10 MB) in one write and reads all the time;
// the host drains every drainMillis and runs each batch oldest first, as the loader's
// DrainConsole does. Measured: lines run right after a later line (inversions), lost (or split)
// and taken twice.
int RunOrderScenario(const Options& options, int drainMillis) {
  constexpr long long kLines = 100000;
  Scene scene(options, "order-" + std::to_string(drainMillis));
  Developer paster;
  if (!scene.Start({1, drainMillis, {}, {"--oldest-first"}}) || !scene.Attach(paster) ||
      !scene.WaitConnected(1)) {
    return 1;
  }
  paster.StartReading(ReadPattern{});
  const std::string paste = TypedLines(1, 0, kLines, 100);
  const std::int64_t start = NowNanos();
  SendUntil(paster.Socket(), paste.data(), paste.size(), start + 100000 * kMillis);
  const std::int64_t last = scene.WaitForLines(kLines, 5000, 150000);
  const std::string what =
      "100,000-line paste drained every " + std::to_string(drainMillis) + " ms";
  scene.Row(what + ", oldest first: inversions", "inversions",
            static_cast<double>(scene.count.inversions), "", 0);
  scene.TallyFigures(1, kLines, what);
  scene.Row(what + ": until the host took the last line", "deliver_ms",
            static_cast<double>(last - start) / kMillis, "ms", -1, false);
  scene.Figure("paster_dropped", paster.Dropped());
  return scene.Finish();
}

// The host stops taking messages; then 300 visitors come one after another (connect, read the
// welcome, leave), two notices each, so the console's stack fills; then a developer attached
// before asks "[who]", "[spawns]" and gives "[quit]". Measured: each visitor's time to its
// welcome (1000 ms: not within a second; after 5 such in a row the rest count as not
// welcomed) and the time to each answer (2000 ms: none within 2 s).
int RunUnpolledScenario(const Options& options) {
  constexpr int kVisits = 300;
  constexpr int kWelcomeLimitMillis = 1000;
  constexpr int kAnswerLimitMillis = 2000;
  Scene scene(options, "unpolled");
  Developer asker;
  if (!scene.Start({}) || !scene.Attach(asker) || !scene.WaitConnected(1) || !scene.Ask("hold")) {
    return 1;
  }
  std::vector<double> waits;
  int notWelcomed = 0;
  for (int i = 0, missedInRow = 0; i < kVisits; ++i) {
    const std::int64_t begun = NowNanos();
    Developer visitor;
    if (visitor.Attach(scene.Port(), kWelcomeLimitMillis)) {
      waits.push_back(static_cast<double>(NowNanos() - begun) / kMillis);
      missedInRow = 0;
    } else if (++notWelcomed; ++missedInRow == 5) {
      notWelcomed += kVisits - i - 1;
      break;
    }
  }
  const auto slow = std::count_if(waits.begin(), waits.end(), [](double w) { return w > 500; });
  scene.Row("host not polling: visits not welcomed within 0.5 s (of 300)", "visits_late",
            static_cast<double>(notWelcomed + slow), "", 0);
  scene.Row("host not polling: the slowest welcome", "welcome_max_ms",
            notWelcomed > 0 || waits.empty() ? kWelcomeLimitMillis
                                             : *std::max_element(waits.begin(), waits.end()),
            "ms", 500);
  LineReader reader(asker.Socket());
  scene.Row("host not polling, its stack full: [who] answered after", "who_ms",
            TimeAnswer(asker.Socket(), reader, "[who]", "QC_OK: End of list", kAnswerLimitMillis),
            "ms", 100);
  scene.Row(
      "host not polling: [spawns] answered after", "spawns_ms",
      TimeAnswer(asker.Socket(), reader, "[spawns]", "QC_OK: End of list", kAnswerLimitMillis),
      "ms", 100);
  scene.Row(
      "host not polling: [quit] answered after", "quit_ms",
      TimeAnswer(asker.Socket(), reader, "[quit]", "QC_OK: Disconnecting", kAnswerLimitMillis),
      "ms", 100);
  scene.Figure("visits_welcomed", static_cast<double>(waits.size()));
  if (!scene.Ask("release")) return 1;
  return scene.Finish();
}

// The host's standard error is a pipe that nobody reads; Timeout=On with TimeoutVal=100, so
// each of 99 silent developers (who read nothing either) gets a notice every 100 ms and the
// library writes its diagnostics as they time out. After 3 s, when the pipe has long been
// full, another developer asks "[who]" 20 times, 200 ms apart (no more once one is not answered
// within 5 s). Measured: its answer times.
int RunUnreadErrorScenario(const Options& options) {
  constexpr int kSilent = 99;
  constexpr int kAsks = 20;
  constexpr int kAnswerLimitMillis = 5000;
  Scene scene(options, "stderr-unread");
  HostSetup setup{1, 33, {"Timeout=On", "TimeoutVal=100"}, {}};
  setup.unreadError = true;
  Developer asker;
  Developers silent;
  if (!scene.Start(setup) || !scene.Attach(asker) || !scene.AttachMany(silent, kSilent) ||
      !scene.WaitConnected(kSilent + 1)) {
    return 1;
  }
  SleepUntil(NowNanos() + 3000 * kMillis);
  LineReader reader(asker.Socket());
  std::vector<double> answers;
  for (int i = 0; i < kAsks; ++i) {
    answers.push_back(
        TimeAnswer(asker.Socket(), reader, "[who]", "QC_OK: End of list", kAnswerLimitMillis));
    if (answers.back() >= kAnswerLimitMillis) break;  // a console that stalled stays so
    SleepUntil(NowNanos() + 200 * kMillis);
  }
  scene.Row("standard error unread, Timeout=On, 99 silent: [who] answered after, slowest of 20",
            "who_max_ms", *std::max_element(answers.begin(), answers.end()), "ms", 100);
  scene.Row("standard error unread: [who] answered after, median", "who_p50_ms", Median(answers),
            "ms", -1, false);
  return scene.Finish();
}

// 100 developers (4 KiB receive buffers) each type a line of 60,000 bytes and 60,000 bytes of
// the next, and read nothing, while the host drains every 5 ms and then broadcasts 3.8 MB
// (38,000 lines of 100 bytes, 1000 a frame): every connection's line and output near their
// limits at once (SendTimeoutVal=0: none is dropped for time; the broadcast stays below the
// hard limit). Measured: the host's resident memory at its peak less before, in all and per
// connection, and the connections the console dropped.
int RunWorstCaseScenario(const Options& options) {
  constexpr int kConnections = 100;
  Scene scene(options, "worst-case-100");
  Developers developers;
  if (!scene.Start({1, 5, {"SendTimeoutVal=0"}, {}}) ||
      !scene.AttachMany(developers, kConnections, 4096) || !scene.WaitConnected(kConnections)) {
    return 1;
  }
  scene.MarkMemory();
  for (unsigned i = 0; i < kConnections; ++i) {
    const std::string typed = TypedLines(i + 1, 0, 1, 60000) + std::string(60000, 'p');
    SendUntil(developers[i]->Socket(), typed.data(), typed.size(), NowNanos() + 2000 * kMillis);
  }
  SleepUntil(NowNanos() + 1000 * kMillis);
  std::string answer;
  if (!scene.Ask("stream 1000 38 100") || !scene.Expect("stream-done ", 120000, answer)) {
    return scene.Fail("the host did not stream");
  }
  SleepUntil(NowNanos() + 1000 * kMillis);
  scene.AskCount();
  const double growth = scene.PeakGrowthKiB();
  scene.Row("100 connections at their limits: host's growth at its peak", "peak_growth_mib",
            growth / 1024, "MiB");
  scene.Row("100 connections at their limits: growth per connection", "per_connection_kib",
            growth / kConnections, "KiB");
  scene.Row("100 connections at their limits: dropped by the console", "dropped",
            static_cast<double>(scene.count.disconnected));
  for (auto& developer : developers) developer->Close(true);
  return scene.Finish();
}

}  // namespace qc::load
