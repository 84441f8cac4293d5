// Connections that cost the others through what they send: a flood of commands read slowly,
// pastes with commands among their lines, a stream without line feeds, and a paste of more
// than a megabyte, or a full stack, taken in one frame. Each runs the session host (a process of
// its own, so its memory is its own) with one console, and reports what the host and the other
// developers got.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {

// One developer sends "[spawns]" 7000 times in one write every 10 ms for 6 s, and reads 64 KiB
// every 20 ms (about 3 MB/s, a thirtieth of what it asks for); another asks "[who]" every
// 200 ms and times each answer to its "End of list".
// The host takes every message each frame (33 ms). Measured: the host's resident memory at its
// peak and 2 s after the flooder left, beside what it was before, and the answer times. With
// sendBufferKiB above 0 the console's SendBufferVal is that: a console that drops the flooder
// for its queued answers once anything is broadcast to it (an overflow notice, say) hides
// what the flood costs until then.
int RunFloodScenario(const Options& options, int sendBufferKiB) {
  const std::string name = sendBufferKiB > 0 ? "flood-sendbuffer-" + std::to_string(sendBufferKiB)
                                             : std::string("flood");
  constexpr int kFloodMillis = 6000;
  constexpr int kBurstEveryMillis = 10;
  constexpr int kCommandsPerBurst = 7000;
  constexpr int kAskEveryMillis = 200;
  constexpr int kAnswerLimitMillis = 10000;
  Scene scene(options, name);
  HostSetup setup;
  if (sendBufferKiB > 0) setup.profile = {"SendBufferVal=" + std::to_string(sendBufferKiB)};
  if (!scene.Start(setup)) return 1;
  Developer asker, flooder;
  if (!scene.Attach(asker) || !scene.Attach(flooder) || !scene.WaitConnected(2)) return 1;
  const int pid = scene.Pid();
  const long baseKiB = scene.MarkMemory();

  std::string burst;
  for (int i = 0; i < kCommandsPerBurst; ++i) burst += "[spawns]\n";
  std::atomic<bool> flooding{true};
  long long burstsWhole = 0, burstsSkipped = 0, bytesSent = 0;
  flooder.StartReading(ReadPattern{20, 65536, 20, 20, 1});
  const std::int64_t start = NowNanos();
  std::thread sender([&] {
    std::string unsent;
    for (std::int64_t next = start; next < start + kFloodMillis * kMillis;
         next += kBurstEveryMillis * kMillis) {
      SleepUntil(next);
      if (unsent.empty()) {
        unsent = burst;
      } else {
        ++burstsSkipped;  // the last one has not gone yet: this one is never sent
      }
      const std::size_t sent = SendUntil(flooder.Socket(), unsent.data(), unsent.size(), 0);
      bytesSent += static_cast<long long>(sent);
      unsent.erase(0, sent);
      if (unsent.empty()) ++burstsWhole;
    }
    flooding.store(false);
  });

  // The other developer's "[who]", timed to the end of its answer.
  std::vector<double> answers;
  int unanswered = 0;
  std::thread other([&] {
    LineReader reader(asker.Socket());
    while (flooding.load() && !reader.Ended()) {
      const std::int64_t asked = NowNanos();
      const double millis =
          TimeAnswer(asker.Socket(), reader, "[who]", "QC_OK: End of list", kAnswerLimitMillis);
      if (millis < kAnswerLimitMillis) answers.push_back(millis);
      unanswered += millis < kAnswerLimitMillis ? 0 : 1;
      SleepUntil(asked + kAskEveryMillis * kMillis);
    }
  });

  long sampledPeakKiB = baseKiB;
  while (flooding.load()) {
    sampledPeakKiB = std::max(sampledPeakKiB, ProcessResidentKiB(pid));
    SleepUntil(NowNanos() + 50 * kMillis);
  }
  sender.join();
  other.join();
  const bool flooderDropped = flooder.EndedAt() != 0;
  const long long answersRead = flooder.ListEnds();
  // The flooder leaves (with its answers unread: the system resets the connection).
  flooder.Close(false);
  scene.WaitForCount(30000, [](const HostCount& c) { return c.disconnected >= 1; });
  SleepUntil(NowNanos() + 2000 * kMillis);
  const long afterKiB = ProcessResidentKiB(pid);
  // The peak since the flood began, the console's work after the flooder left included.
  const long peakKiB = std::max(sampledPeakKiB, ProcessPeakKiB(pid));
  scene.AskCount();

  const std::string what =
      sendBufferKiB > 0 ? "flood, SendBufferVal=" + std::to_string(sendBufferKiB) : "flood";
  scene.Figure("base_rss_kib", static_cast<double>(baseKiB));
  scene.Row(what + ": host's resident memory growth at its peak", "peak_growth_mib",
            static_cast<double>(peakKiB - baseKiB) / 1024, "MiB", 32);
  scene.Row(what + ": growth still resident 2 s after the flooder left", "left_growth_mib",
            static_cast<double>(afterKiB - baseKiB) / 1024, "MiB");
  scene.Row(
      what + ": another developer's [who] answer, slowest", "who_max_ms",
      answers.empty() ? kAnswerLimitMillis : *std::max_element(answers.begin(), answers.end()),
      "ms", 1000);
  scene.Row(what + ": another developer's [who] answer, median", "who_p50_ms", Median(answers),
            "ms", -1, false);
  scene.Row(what + ": [who] not answered within 10 s", "who_unanswered", unanswered, "", 0);
  scene.Row(what + ": the flooder dropped by the console (1: yes)", "flooder_dropped",
            flooderDropped ? 1 : 0);
  scene.Row(what + ": overflow notices", "overflow_notices",
            static_cast<double>(scene.count.overflows));
  scene.Row(what + ": [spawns] sent by the flooder", "commands_sent",
            static_cast<double>(bytesSent / 9), "", -1, false);
  scene.Row(what + ": answers the flooder read", "answers_read", static_cast<double>(answersRead),
            "", -1, false);
  scene.Figure("bursts_whole", static_cast<double>(burstsWhole));
  scene.Figure("bursts_skipped", static_cast<double>(burstsSkipped));
  return scene.Finish();
}

// One developer pastes lines lines in one write, every whoEvery-th of them "[who]", the others
// "L1.<n> ..." lines of 13 bytes; it reads everything all the time. The host takes every message
// every 33 ms and tallies the typed lines. Measured: ordinary lines taken (once, twice, never),
// the overflow notices the host took and the developer received, and the "[who]" answers.
int RunPasteScenario(const Options& options, int lines, int whoEvery) {
  Scene scene(options, "paste-" + std::to_string(lines));
  Developer paster;
  if (!scene.Start({}) || !scene.Attach(paster) || !scene.WaitConnected(1)) return 1;
  std::string paste;
  long long ordinary = 0, asks = 0;
  for (int i = 0; i < lines; ++i) {
    const bool ask = (i + 1) % whoEvery == 0;
    paste += ask ? std::string("[who]\n") : TypedLines(1, i, 1, 13);
    ++(ask ? asks : ordinary);
  }
  paster.StartReading(ReadPattern{});
  const std::int64_t start = NowNanos();
  const std::size_t sent =
      SendUntil(paster.Socket(), paste.data(), paste.size(), start + 100000 * kMillis);
  const double sendMillis = static_cast<double>(NowNanos() - start) / kMillis;
  const std::int64_t lastLine = scene.WaitForLines(ordinary, 5000, 150000);
  // The answers to "[who]" follow the lines they were pasted among.
  WaitFor(2000, 20000, [&] { return paster.ListEnds() >= asks || paster.EndedAt() != 0; });
  const std::string what = "paste of " + std::to_string(lines) + " lines";
  scene.Row(what + ", [who] every " + std::to_string(whoEvery) + "th: [who] answered (of " +
                std::to_string(asks) + ")",
            "who_answered", static_cast<double>(paster.ListEnds()), "", -1, false);
  scene.TallyFigures(1, ordinary, what);
  scene.AskCount();
  scene.Row(what + ": overflow notices", "overflow_notices",
            static_cast<double>(scene.count.overflows), "", 0);
  scene.Row(what + ": until the host took the last line", "deliver_ms",
            static_cast<double>(lastLine - start) / kMillis, "ms", -1, false);
  scene.Figure("overflow_lines_heard", static_cast<double>(paster.OverflowLines()));
  scene.Figure("bytes_unsent", static_cast<double>(paste.size() - sent));
  scene.Figure("send_ms", sendMillis);
  scene.Figure("paster_dropped", paster.Dropped());
  return scene.Finish();
}

// One developer streams bytes without a line feed for 3 s while another types 300 lines, one
// every 10 ms; both read everything. Measured: the overflow notices the host took and the other
// developer received, and how many of that developer's lines the host took.
int RunOverflowStreamScenario(const Options& options) {
  constexpr int kStreamMillis = 3000;
  constexpr int kTyped = 300;
  constexpr int kTypeEveryMillis = 10;
  Scene scene(options, "overflow-stream");
  Developer typist, streamer;
  if (!scene.Start({}) || !scene.Attach(typist) || !scene.Attach(streamer) ||
      !scene.WaitConnected(2)) {
    return 1;
  }
  typist.StartReading(ReadPattern{});
  streamer.StartReading(ReadPattern{});
  const std::int64_t start = NowNanos();
  long long streamed = 0;
  std::thread stream([&] {
    const std::string chunk(65536, 'x');
    while (NowNanos() < start + kStreamMillis * kMillis) {
      const std::size_t sent =
          SendUntil(streamer.Socket(), chunk.data(), chunk.size(), start + kStreamMillis * kMillis);
      streamed += static_cast<long long>(sent);
      if (sent < chunk.size() && streamer.EndedAt() != 0) break;
    }
  });
  int typed = 0;
  for (; typed < kTyped; ++typed) {
    SleepUntil(start + std::int64_t{typed} * kTypeEveryMillis * kMillis);
    const std::string line = TypedLines(2, typed, 1, 32);
    if (SendUntil(typist.Socket(), line.data(), line.size(), NowNanos() + 5000 * kMillis) !=
        line.size()) {
      break;
    }
  }
  stream.join();
  scene.Figure("stream_ms", static_cast<double>(NowNanos() - start) / kMillis);
  streamer.Close(false);
  scene.WaitForLines(typed, 5000, 60000);
  SleepUntil(NowNanos() + 500 * kMillis);  // the last notices reach the typist
  scene.AskCount();
  scene.Row("3 s stream without line feeds: overflow notices the host took", "overflow_notices",
            static_cast<double>(scene.count.overflows), "", 10);
  scene.Row("3 s stream: overflow notices another developer received", "overflow_lines_heard",
            static_cast<double>(typist.OverflowLines()), "", 20);
  scene.TallyFigures(2, typed, "3 s stream: that developer's typed lines");
  scene.Figure("bytes_streamed", static_cast<double>(streamed));
  scene.Figure("typist_dropped", typist.Dropped());
  return scene.Finish();
}

// One developer pastes lines of lineBytes (lines x lineBytes in all) while the host holds its
// frames, then the host takes everything. It and readers other developers read all the time.
// With onOneProcessor the host's threads share one
// processor, and all but the frame's run at the lowest priority, so the console's thread waits
// while the frame runs, as beside a game that keeps its processor busy; with a processor of its
// own it may keep up with the echoes as they are queued, and whether a frame overruns it would
// depend on the machine's load. Measured: who was dropped, the lines the host took, and how many
// echoes of them each reader received whole.
int RunHeldPaste(Scene& scene, const std::string& what, int readers, long long lines,
                 std::size_t lineBytes, bool onOneProcessor) {
  Developers developers;
  if (!scene.Start({}) || !scene.AttachMany(developers, readers + 1) ||
      !scene.WaitConnected(readers + 1))
    return 1;
  Developer& paster = *developers[0];
  const std::string paste = TypedLines(1, 0, lines, lineBytes);
  if (onOneProcessor && !scene.ShareOneProcessor()) {
    return scene.Fail("cannot keep the host's threads on one processor");
  }
  for (auto& developer : developers) developer->StartReading(ReadPattern{}, lineBytes, 'L');
  if (!scene.Ask("hold")) return 1;
  const std::int64_t start = NowNanos();
  std::size_t sent =
      SendUntil(paster.Socket(), paste.data(), paste.size(), start + 10000 * kMillis);
  scene.Figure("sent_whole_while_held", sent == paste.size() ? 1 : 0);
  if (!scene.Ask("release")) return 1;
  // A console that takes no more input while its messages wait gets the rest now.
  sent += SendUntil(paster.Socket(), paste.data() + sent, paste.size() - sent,
                    NowNanos() + 60000 * kMillis);
  scene.WaitForLines(lines, 3000, 60000);
  const int dropped = paster.Dropped() + WaitForStreamLines(developers, lines, 5000 * readers, 1);
  const long long fewest = FewestStreamLines(developers, lines, 1);
  scene.Row(what + ": developers dropped (of " + std::to_string(readers + 1) + ", the paster and " +
                std::to_string(readers) + " reading it)",
            "dropped", dropped, "", 0);
  scene.Row(what + ": the paster dropped", "paster_dropped", paster.Dropped());
  scene.Row(what + ": echoes missed by the reader that got fewest", "echoes_missed_most",
            static_cast<double>(lines - fewest), "", 0);
  scene.TallyFigures(1, lines, what);
  scene.AskCount();
  scene.Figure("overflow_notices", static_cast<double>(scene.count.overflows));
  return scene.Finish();
}

// 87,500 lines of 16 bytes (1.4 MB) taken in one frame, echoed to the paster and one other
// developer, the host's threads on one processor.
int RunBigPasteScenario(const Options& options) {
  Scene scene(options, "big-paste");
  return RunHeldPaste(scene, "1.4 MB paste taken in one frame", 1, 87500, 16, true);
}

// A full stack pasted while the host paused: 100 lines of 64 KiB (less room for the stamp of
// their echoes), two other developers reading at full speed, the host's threads on one
// processor.
int RunFullStackScenario(const Options& options) {
  Scene scene(options, "full-stack");
  return RunHeldPaste(scene, "full stack (100 x 64 KiB) pasted while the host held", 2, 100, 65000,
                      true);
}

}  // namespace qc::load
