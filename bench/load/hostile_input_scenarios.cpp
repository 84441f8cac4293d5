// Connections that cost the others through what they send: a flood of commands read slowly,
// pastes with commands among their lines, a stream without line feeds, and a paste of more
// than a megabyte taken in one frame. Each runs the session host (a process of its own, so its
// memory is its own) with one console, and reports what the host and the other developers got.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/hostile.h"
#include "load/scenarios.h"

namespace qc::load {
namespace {

// The diagnostics the host's library wrote, all and of the two kinds that drop a client.
void ReportDiagnostics(const std::string& scenario, SessionHost& host) {
  std::map<std::string, int> kinds;
  HostileFigure(scenario, "diagnostics", host.Stop(&kinds));
  HostileFigure(scenario, "diag_send_timed_out", kinds["QC_ERROR: send() timed out"]);
  HostileFigure(scenario, "diag_send_buffer_full", kinds["QC_ERROR: send buffer full"]);
}

bool StartHost(SessionHost& host, const Options& options, int frameMillis,
               const std::vector<std::string>& profile, const char* scenario) {
  std::string base, spawned;
  if (!host.Start(options, false, options.hostilePort, 1, frameMillis, profile, base, spawned) ||
      std::atoi(spawned.c_str() + 8) != 1) {
    std::fprintf(stderr, "%s: the session host did not spawn its console on port %d\n", scenario,
                 options.hostilePort);
    return false;
  }
  return true;
}

bool WaitForConnected(SessionHost& host, int developers, const char* scenario) {
  HostCount count;
  const auto attached = [&](const HostCount& c) { return c.connected >= developers; };
  if (WaitForCount(host, count, 20000, attached)) {
    return true;
  }
  std::fprintf(stderr, "%s: the host took %lld of %d connected notices\n", scenario,
               count.connected, developers);
  return false;
}

// "L<developer>.<sequence> " and text, one line.
std::string TypedLine(unsigned developer, long long sequence, const char* text) {
  return "L" + std::to_string(developer) + "." + std::to_string(sequence) + " " + text + "\n";
}

}  // namespace

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
  SessionHost host;
  std::vector<std::string> profile;
  if (sendBufferKiB > 0) profile.push_back("SendBufferVal=" + std::to_string(sendBufferKiB));
  if (!StartHost(host, options, 33, profile, name.c_str())) return 1;
  Developer asker, flooder;
  if (!asker.Attach(options.hostilePort, kAttachMillis) ||
      !flooder.Attach(options.hostilePort, kAttachMillis) ||
      !WaitForConnected(host, 2, name.c_str())) {
    std::fprintf(stderr, "%s: cannot attach the developers\n", name.c_str());
    return 1;
  }
  const int pid = host.Pid();
  const long baseKiB = ProcessResidentKiB(pid);
  ResetPeak(pid);

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
    while (flooding.load()) {
      const std::int64_t asked = NowNanos();
      if (!SendWhole(asker.Socket(), "[who]\n", 6)) break;
      if (reader.Find("QC_OK: End of list", kAnswerLimitMillis)) {
        answers.push_back(static_cast<double>(NowNanos() - asked) / kMillis);
      } else {
        ++unanswered;
        if (reader.Ended()) break;
      }
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
  HostCount count;
  WaitForCount(host, count, 30000, [](const HostCount& c) { return c.disconnected >= 1; });
  SleepUntil(NowNanos() + 2000 * kMillis);
  const long afterKiB = ProcessResidentKiB(pid);
  // The peak since the flood began, the console's work after the flooder left included.
  const long peakKiB = std::max(sampledPeakKiB, ProcessPeakKiB(pid));
  AskCount(host, count);

  HostileFigure(name, "base_rss_kib", static_cast<double>(baseKiB));
  HostileFigure(name, "peak_growth_kib", static_cast<double>(peakKiB - baseKiB));
  HostileFigure(name, "left_growth_kib", static_cast<double>(afterKiB - baseKiB));
  HostileFigure(name, "who_max_ms", answers.empty() ? kAnswerLimitMillis
                                             : *std::max_element(answers.begin(), answers.end()));
  HostileFigure(name, "who_p50_ms", Median(answers));
  HostileFigure(name, "who_asked", static_cast<double>(answers.size()) + unanswered);
  HostileFigure(name, "who_unanswered", unanswered);
  HostileFigure(name, "commands_sent", static_cast<double>(bytesSent / 9));
  HostileFigure(name, "bursts_skipped", static_cast<double>(burstsSkipped));
  HostileFigure(name, "answers_read", static_cast<double>(answersRead));
  HostileFigure(name, "flooder_dropped", flooderDropped ? 1 : 0);
  HostileFigure(name, "overflow_notices", static_cast<double>(count.overflows));
  std::fprintf(stderr,
               "%s: host %ld KiB before, peak %ld, %ld after the flooder left; [who] max %.1f "
               "ms (%zu answered, %d not); %lld commands sent (%lld bursts whole, %lld skipped), "
               "%lld answers read; flooder %s, %lld overflow notices\n",
               name.c_str(), baseKiB, peakKiB, afterKiB,
               answers.empty() ? -1.0 : *std::max_element(answers.begin(), answers.end()),
               answers.size(), unanswered, bytesSent / 9, burstsWhole, burstsSkipped,
               answersRead, flooderDropped ? "dropped" : "kept", count.overflows);
  ReportDiagnostics(name, host);
  return 0;
}

// One developer pastes lines lines in one write, every whoEvery-th of them "[who]", the others
// "L1.<n> ..." lines of 13 bytes; it reads everything all the time. The host takes every message
// every 33 ms and tallies the typed lines. Measured: ordinary lines taken (once, twice, never),
// the overflow notices the host took and the developer received, and the "[who]" answers.
int RunPasteScenario(const Options& options, int lines, int whoEvery) {
  const std::string name = "paste-" + std::to_string(lines);
  constexpr int kSendLimitMillis = 100000;
  constexpr int kQuietMillis = 5000;
  constexpr int kDeliverLimitMillis = 150000;
  SessionHost host;
  if (!StartHost(host, options, 33, {}, name.c_str())) return 1;
  Developer paster;
  if (!paster.Attach(options.hostilePort, kAttachMillis) ||
      !WaitForConnected(host, 1, name.c_str())) {
    std::fprintf(stderr, "%s: cannot attach the developer\n", name.c_str());
    return 1;
  }
  std::string paste;
  long long ordinary = 0, asks = 0;
  for (int i = 0; i < lines; ++i) {
    if ((i + 1) % whoEvery == 0) {
      paste += "[who]\n";
      ++asks;
    } else {
      char line[32];
      std::snprintf(line, sizeof line, "L1.%05d xyz\n", i);  // 13 bytes up to 99,999 lines
      paste += line;
      ++ordinary;
    }
  }
  paster.StartReading(ReadPattern{});
  const std::int64_t start = NowNanos();
  const std::size_t sent = SendUntil(paster.Socket(), paste.data(), paste.size(),
                                     start + kSendLimitMillis * kMillis);
  const double sendMillis = static_cast<double>(NowNanos() - start) / kMillis;
  HostCount count;
  const std::int64_t lastLine =
      WaitForLines(host, ordinary, kQuietMillis, kDeliverLimitMillis, count);
  // The answers to "[who]" follow the lines they were pasted among.
  for (int i = 0; i < 100 && paster.ListEnds() < asks && paster.EndedAt() == 0; ++i) {
    SleepUntil(NowNanos() + 20 * kMillis);
  }
  long long distinct = 0, repeated = 0;
  AskTally(host, 1, distinct, repeated);
  AskCount(host, count);

  HostileFigure(name, "lines_typed", static_cast<double>(ordinary));
  HostileFigure(name, "lines_taken", static_cast<double>(distinct));
  HostileFigure(name, "lines_lost", static_cast<double>(ordinary - distinct));
  HostileFigure(name, "lines_repeated", static_cast<double>(repeated));
  HostileFigure(name, "overflow_notices", static_cast<double>(count.overflows));
  HostileFigure(name, "overflow_lines_heard", static_cast<double>(paster.OverflowLines()));
  HostileFigure(name, "who_asked", static_cast<double>(asks));
  HostileFigure(name, "who_answered", static_cast<double>(paster.ListEnds()));
  HostileFigure(name, "bytes_unsent", static_cast<double>(paste.size() - sent));
  HostileFigure(name, "send_ms", sendMillis);
  HostileFigure(name, "deliver_ms", static_cast<double>(lastLine - start) / kMillis);
  HostileFigure(name, "paster_dropped", paster.EndedAt() != 0 ? 1 : 0);
  std::fprintf(stderr,
               "%s: %lld of %lld lines taken (%lld twice or more), %lld overflow notices, "
               "%lld of %lld [who] answered; sent %zu of %zu bytes in %.0f ms\n",
               name.c_str(), distinct, ordinary, repeated, count.overflows, paster.ListEnds(),
               asks, sent, paste.size(), sendMillis);
  paster.Close(false);
  ReportDiagnostics(name, host);
  return 0;
}

// One developer streams bytes without a line feed for 3 s while another types 300 lines, one
// every 10 ms; both read everything. Measured: the overflow notices the host took and the other
// developer received, and how many of that developer's lines the host took.
int RunOverflowStreamScenario(const Options& options) {
  const char* const name = "overflow-stream";
  constexpr int kStreamMillis = 3000;
  constexpr int kTyped = 300;
  constexpr int kTypeEveryMillis = 10;
  SessionHost host;
  if (!StartHost(host, options, 33, {}, name)) return 1;
  Developer typist, streamer;
  if (!typist.Attach(options.hostilePort, kAttachMillis) ||
      !streamer.Attach(options.hostilePort, kAttachMillis) || !WaitForConnected(host, 2, name)) {
    std::fprintf(stderr, "overflow-stream: cannot attach the developers\n");
    return 1;
  }
  typist.StartReading(ReadPattern{});
  streamer.StartReading(ReadPattern{});
  const std::int64_t start = NowNanos();
  long long streamed = 0;
  std::thread stream([&] {
    const std::string chunk(65536, 'x');
    while (NowNanos() < start + kStreamMillis * kMillis) {
      const std::size_t sent = SendUntil(streamer.Socket(), chunk.data(), chunk.size(),
                                         start + kStreamMillis * kMillis);
      streamed += static_cast<long long>(sent);
      if (sent < chunk.size() && streamer.EndedAt() != 0) break;
    }
  });
  int typed = 0;
  for (; typed < kTyped; ++typed) {
    SleepUntil(start + std::int64_t{typed} * kTypeEveryMillis * kMillis);
    const std::string line = TypedLine(2, typed, "typed beside the stream");
    if (SendUntil(typist.Socket(), line.data(), line.size(), NowNanos() + 5000 * kMillis) !=
        line.size()) {
      break;
    }
  }
  stream.join();
  const double streamMillis = static_cast<double>(NowNanos() - start) / kMillis;
  streamer.Close(false);
  HostCount count;
  WaitForLines(host, typed, 5000, 60000, count);
  SleepUntil(NowNanos() + 500 * kMillis);  // the last notices reach the typist
  long long distinct = 0, repeated = 0;
  AskTally(host, 2, distinct, repeated);
  AskCount(host, count);

  HostileFigure(name, "bytes_streamed", static_cast<double>(streamed));
  HostileFigure(name, "stream_ms", streamMillis);
  HostileFigure(name, "overflow_notices", static_cast<double>(count.overflows));
  HostileFigure(name, "overflow_lines_heard", static_cast<double>(typist.OverflowLines()));
  HostileFigure(name, "lines_typed", typed);
  HostileFigure(name, "lines_taken", static_cast<double>(distinct));
  HostileFigure(name, "lines_lost", static_cast<double>(typed - distinct));
  HostileFigure(name, "typist_dropped", typist.EndedAt() != 0 ? 1 : 0);
  std::fprintf(stderr,
               "overflow-stream: %lld bytes streamed in %.0f ms; %lld overflow notices taken by "
               "the host, %lld heard by the typist; %lld of %d typed lines taken\n",
               streamed, streamMillis, count.overflows, typist.OverflowLines(), distinct, typed);
  typist.Close(false);
  ReportDiagnostics(name, host);
  return 0;
}

// One developer pastes 1.4 MB of short lines while the host holds its frames; then the host takes
// everything in one frame, which echoes every line to both attached developers. Both read all the
// time. The host's threads share one processor, and all but the frame's run at the lowest
// priority, so the console's thread waits while the frame runs, as beside a game that keeps its
// processor busy; with a processor of its own it may keep up with the echoes as they are queued,
// and whether a frame overruns it would depend on the machine's load.
// Measured: who was dropped, and how many of the lines the host took.
int RunBigPasteScenario(const Options& options) {
  const char* const name = "big-paste";
  constexpr std::size_t kPasteBytes = 1400000;
  constexpr int kHoldLimitMillis = 10000;
  SessionHost host;
  if (!StartHost(host, options, 33, {}, name)) return 1;
  Developer watcher, paster;
  if (!watcher.Attach(options.hostilePort, kAttachMillis) ||
      !paster.Attach(options.hostilePort, kAttachMillis) || !WaitForConnected(host, 2, name)) {
    std::fprintf(stderr, "big-paste: cannot attach the developers\n");
    return 1;
  }
  std::string paste;
  long long typed = 0;
  while (paste.size() < kPasteBytes) {
    char line[32];
    std::snprintf(line, sizeof line, "L1.%06lld paste\n", typed++);  // 16 bytes
    paste += line;
  }
  if (!PinToOneProcessor(host.Pid()) || !LowerOtherThreads(host.Pid())) {
    std::fprintf(stderr, "big-paste: cannot keep the host's threads on one processor\n");
    return 1;
  }
  watcher.StartReading(ReadPattern{});
  paster.StartReading(ReadPattern{});
  std::string answer;
  if (!host.Ask("hold", "hold", answer)) return 1;
  const std::int64_t start = NowNanos();
  std::size_t sent = SendUntil(paster.Socket(), paste.data(), paste.size(),
                               start + kHoldLimitMillis * kMillis);
  const double heldMillis = static_cast<double>(NowNanos() - start) / kMillis;
  const bool wholeWhileHeld = sent == paste.size();
  if (!host.Ask("release", "release", answer)) return 1;
  // A console that takes no more input while its messages wait gets the rest now.
  sent += SendUntil(paster.Socket(), paste.data() + sent, paste.size() - sent,
                    NowNanos() + 60000 * kMillis);
  HostCount count;
  WaitForLines(host, typed, 3000, 60000, count);
  long long distinct = 0, repeated = 0;
  AskTally(host, 1, distinct, repeated);
  AskCount(host, count);
  HostileFigure(name, "overflow_notices", static_cast<double>(count.overflows));

  HostileFigure(name, "lines_typed", static_cast<double>(typed));
  HostileFigure(name, "lines_taken", static_cast<double>(distinct));
  HostileFigure(name, "lines_lost", static_cast<double>(typed - distinct));
  HostileFigure(name, "sent_whole_while_held", wholeWhileHeld ? 1 : 0);
  HostileFigure(name, "paster_dropped", paster.EndedAt() != 0 ? 1 : 0);
  HostileFigure(name, "watcher_dropped", watcher.EndedAt() != 0 ? 1 : 0);
  HostileFigure(name, "dropped", (paster.EndedAt() != 0 ? 1 : 0) + (watcher.EndedAt() != 0 ? 1 : 0));
  std::fprintf(stderr,
               "big-paste: %zu of %zu bytes sent (%.0f ms while the host held); %lld of %lld "
               "lines taken, %lld overflow notices; paster %s, watcher %s (%lld lines heard)\n",
               sent, paste.size(), heldMillis, distinct, typed, count.overflows,
               paster.EndedAt() != 0 ? "dropped" : "kept",
               watcher.EndedAt() != 0 ? "dropped" : "kept", watcher.Lines());
  watcher.Close(false);
  paster.Close(false);
  ReportDiagnostics(name, host);
  return 0;
}

}  // namespace qc::load
