// Connections that cost the others through how they behave: readers that take their output in
// short bursts beside one that takes none, connections that keep guessing the password, and a
// storm of connections reset before they are taken. Each runs the session host with one
// console and reports what the well-behaved developers got.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool StartHost(SessionHost& host, const Options& options, bool underWine, int frameMillis,
               const std::vector<std::string>& profile, const std::string& scenario) {
  std::string base, spawned;
  if (!host.Start(options, underWine, options.hostilePort, 1, frameMillis, profile, base,
                  spawned) ||
      std::atoi(spawned.c_str() + 8) != 1) {
    std::fprintf(stderr, "%s: the session host did not spawn its console on port %d\n",
                 scenario.c_str(), options.hostilePort);
    return false;
  }
  return true;
}

}  // namespace

// Three readers with 8 KiB receive buffers read for 20 ms every 0.2 to 0.4 s (8 KiB a receive,
// 1 ms apart, as a terminal that draws what it took: at most 160 KiB a burst, about 0.5 MB/s),
// and one (from 127.0.0.2) reads nothing, while the host broadcasts 12 MB (120,000 lines of
// 100 bytes) over about 4 s, with SendBufferVal=65536 (KiB) and SendTimeoutVal=2000. Measured:
// the readers dropped and the lines each kept, and the time from the first broadcast to the
// host's notice that the one that reads nothing was dropped. Natively, or with the 32-bit
// Windows session host under wine.
int RunDawdlersScenario(const Options& options, bool underWine) {
  const std::string name = underWine ? "dawdlers-win32" : "dawdlers";
  constexpr int kReaders = 3;
  constexpr int kReceiveBuffer = 8192;
  constexpr int kLinesPerFrame = 150;
  constexpr int kFrames = 800;
  constexpr int kLineBytes = 100;
  constexpr int kSendTimeoutMillis = 2000;
  constexpr long long kLines = static_cast<long long>(kLinesPerFrame) * kFrames;
  constexpr int kReadLimitMillis = 120000;
  SessionHost host;
  if (!StartHost(host, options, underWine, 5, {"SendBufferVal=65536", "SendTimeoutVal=2000"},
                 name)) {
    return 1;
  }
  std::vector<std::unique_ptr<Developer>> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(std::make_unique<Developer>());
    if (!readers.back()->Attach(options.hostilePort, kAttachMillis, nullptr, kReceiveBuffer)) {
      std::fprintf(stderr, "%s: cannot attach reader %d\n", name.c_str(), i);
      return 1;
    }
  }
  Developer idle;
  HostCount count;
  if (!idle.Attach(options.hostilePort, kAttachMillis, "127.0.0.2", kReceiveBuffer) ||
      !WaitForCount(host, count, 20000,
                    [](const HostCount& c) { return c.connected >= kReaders + 1; })) {
    std::fprintf(stderr, "%s: cannot attach the developer that reads nothing\n", name.c_str());
    return 1;
  }
  for (int i = 0; i < kReaders; ++i) {
    readers[static_cast<std::size_t>(i)]->StartReading(
        ReadPattern{20, 0, 200, 400, static_cast<unsigned>(i + 1), 8192, 1}, 8 + 9 + kLineBytes);
  }
  std::string answer;
  if (!host.Ask("mark", "mark", answer) ||
      !host.Ask("stream " + std::to_string(kLinesPerFrame) + " " + std::to_string(kFrames) + " " +
                    std::to_string(kLineBytes),
                "stream", answer) ||
      !host.Expect("stream-done ", 60000, answer)) {
    std::fprintf(stderr, "%s: the host did not stream\n", name.c_str());
    return 1;
  }
  const double streamMillis = std::atof(answer.c_str() + 12);
  const std::int64_t deadline = NowNanos() + std::int64_t{kReadLimitMillis} * kMillis;
  const auto finished = [&] {
    for (const auto& reader : readers) {
      if (reader->StreamLines() < kLines && reader->EndedAt() == 0) return false;
    }
    return true;
  };
  while (!finished() && NowNanos() < deadline) SleepUntil(NowNanos() + 50 * kMillis);
  int dropped = 0;
  long long fewest = kLines;
  for (const auto& reader : readers) {
    if (reader->EndedAt() != 0) ++dropped;
    fewest = std::min(fewest, reader->StreamLines());
  }
  // The notice of the developer that reads nothing (the only one from 127.0.0.2).
  WaitForCount(host, count, 10000, [](const HostCount& c) { return c.disconnected >= 1; });
  std::multimap<double, std::string> notices;
  AskNotices(host, notices);
  double idleDropMillis = -1;
  for (const auto& [millis, text] : notices) {
    if (text.find("127.0.0.2 disconnected") != std::string::npos) {
      idleDropMillis = millis;
      break;
    }
  }

  HostileFigure(name, "lines_sent", static_cast<double>(kLines));
  HostileFigure(name, "stream_ms", streamMillis);
  HostileFigure(name, "readers_dropped", dropped);
  HostileFigure(name, "lines_kept_fewest", static_cast<double>(fewest));
  HostileFigure(name, "lines_lost_most", static_cast<double>(kLines - fewest));
  HostileFigure(name, "idle_drop_ms", idleDropMillis);
  HostileFigure(name, "idle_drop_limit_ms", kSendTimeoutMillis + 1000);
  std::fprintf(stderr,
               "%s: %d of %d readers dropped, the fewest lines kept %lld of %lld (stream "
               "%.0f ms); the one that reads nothing dropped after %.0f ms\n",
               name.c_str(), dropped, kReaders, fewest, kLines, streamMillis, idleDropMillis);
  for (auto& reader : readers) reader->Close(false);
  idle.Close(true);
  std::map<std::string, int> kinds;
  HostileFigure(name, "diagnostics", host.Stop(&kinds));
  HostileFigure(name, "diag_send_timed_out", kinds["QC_ERROR: send() timed out"]);
  HostileFigure(name, "diag_send_buffer_full", kinds["QC_ERROR: send buffer full"]);
  return 0;
}

// Two connections from 127.0.0.3 keep guessing the password (a new connection after each wrong
// answer); 1.5 s later a third from that address gives the right one. Measured: the time from
// its password to "Password accepted".
int RunPasswordGateScenario(const Options& options) {
  const char* const name = "password-gate";
  const char* const kSource = "127.0.0.3";
  constexpr int kGuessers = 2;
  constexpr int kHeadStartMillis = 1500;
  constexpr int kAdmitLimitMillis = 30000;
  SessionHost host;
  if (!StartHost(host, options, false, 5, {"Password=open-sesame"}, name)) return 1;
  std::atomic<bool> guessing{true};
  std::atomic<long long> guesses{0}, turnedAway{0};
  const std::int64_t start = NowNanos();
  const std::int64_t guessEnd = start + (kHeadStartMillis + kAdmitLimitMillis + 5000) * kMillis;
  std::vector<std::thread> guessers;
  for (int g = 0; g < kGuessers; ++g) {
    guessers.emplace_back([&, g] {
      for (long long n = 0; guessing.load() && NowNanos() < guessEnd && n < 100000; ++n) {
        const int s = ConnectFrom(options.hostilePort, kSource, 0, 5000);
        if (s < 0) {
          SleepUntil(NowNanos() + 50 * kMillis, &guessing);
          continue;
        }
        LineReader reader(s);
        std::string line;
        if (reader.Find("QC_OK: Password required", 5000)) {
          const std::string guess = "guess-" + std::to_string(g) + "-" + std::to_string(n) + "\n";
          if (SendWhole(s, guess.c_str(), guess.size())) {
            ++guesses;
            reader.Find("QC_ERROR: Wrong password", 10000);
          }
        } else {
          ++turnedAway;
        }
        close(s);
      }
    });
  }
  SleepUntil(start + kHeadStartMillis * kMillis);
  double admitMillis = -1;
  int refusals = 0;
  for (int attempt = 0; attempt < 100 && admitMillis < 0; ++attempt) {
    const int s = ConnectFrom(options.hostilePort, kSource, 0, 5000);
    if (s < 0) continue;
    LineReader reader(s);
    std::string line;
    bool prompted = false;
    while (reader.Next(line, 5000)) {
      if (line.find("QC_OK: Password required") != std::string::npos) {
        prompted = true;
        break;
      }
      if (line.find("Too many connections") != std::string::npos) break;
    }
    if (!prompted) {
      ++refusals;
      close(s);
      SleepUntil(NowNanos() + 50 * kMillis);
      continue;
    }
    const std::int64_t typed = NowNanos();
    if (SendWhole(s, "open-sesame\n", 12) &&
        reader.Find("QC_OK: Password accepted", kAdmitLimitMillis)) {
      admitMillis = static_cast<double>(NowNanos() - typed) / kMillis;
    }
    close(s);
    break;
  }
  guessing.store(false);
  for (std::thread& guesser : guessers) guesser.join();

  HostileFigure(name, "admitted", admitMillis >= 0 ? 1 : 0);
  HostileFigure(name, "admit_ms", admitMillis >= 0 ? admitMillis : kAdmitLimitMillis);
  HostileFigure(name, "turned_away_first", refusals);
  HostileFigure(name, "guesses", static_cast<double>(guesses.load()));
  std::fprintf(stderr,
               "password-gate: the right password %s after %.0f ms (%d turned away first); %lld "
               "guesses, %lld guessing connections turned away\n",
               admitMillis >= 0 ? "admitted" : "NOT admitted", admitMillis, refusals,
               guesses.load(), turnedAway.load());
  HostileFigure(name, "diagnostics", host.Stop());
  return 0;
}

// For 2 s, two threads connect and at once reset the connection (SO_LINGER 0), most of them
// before the console takes them; meanwhile 10 developers connect, one every 180 ms, and one more
// after the storm. Measured: each developer's time from its connect to the welcome line.
int RunAcceptStormScenario(const Options& options, bool underWine) {
  const std::string name = underWine ? "accept-storm-win32" : "accept-storm-native";
  constexpr int kStormMillis = 2000;
  constexpr int kStormers = 2;
  constexpr int kDevelopers = 10;
  constexpr int kDeveloperEveryMillis = 180;
  constexpr int kWelcomeLimitMillis = 5000;
  SessionHost host;
  if (!StartHost(host, options, underWine, 5, {}, name)) return 1;
  // The console listens once a first developer is welcomed.
  {
    Developer first;
    if (!first.Attach(options.hostilePort, 30000)) {
      std::fprintf(stderr, "%s: the console welcomes nobody\n", name.c_str());
      return 1;
    }
  }
  std::atomic<long long> resets{0};
  const std::int64_t start = NowNanos();
  std::vector<std::thread> stormers;
  for (int t = 0; t < kStormers; ++t) {
    stormers.emplace_back([&] {
      for (int n = 0; n < 200000 && NowNanos() < start + kStormMillis * kMillis; ++n) {
        const int s = ConnectFrom(options.hostilePort, nullptr, 0, 50);
        if (s < 0) continue;
        const linger abort{1, 0};
        (void)setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(s);
        ++resets;
      }
    });
  }
  // Each developer's time to its welcome, or -1.
  std::vector<double> waits(kDevelopers + 1, -1);
  const auto attach = [&](int i) {
    const std::int64_t begun = NowNanos();
    const int s = ConnectFrom(options.hostilePort, nullptr, 0, kWelcomeLimitMillis);
    if (s < 0) return;
    LineReader reader(s);
    const int left = kWelcomeLimitMillis - static_cast<int>((NowNanos() - begun) / kMillis);
    if (reader.Find("QC_OK: Welcome to the Team Quillaret", std::max(left, 0))) {
      waits[static_cast<std::size_t>(i)] = static_cast<double>(NowNanos() - begun) / kMillis;
    }
    close(s);
  };
  std::vector<std::thread> developers;
  for (int i = 0; i < kDevelopers; ++i) {
    SleepUntil(start + std::int64_t{100 + i * kDeveloperEveryMillis} * kMillis);
    developers.emplace_back(attach, i);
  }
  for (std::thread& stormer : stormers) stormer.join();
  for (std::thread& developer : developers) developer.join();
  attach(kDevelopers);  // after the storm

  std::vector<double> welcomed;
  for (int i = 0; i < kDevelopers; ++i) {
    const double wait = waits[static_cast<std::size_t>(i)];
    if (wait >= 0) welcomed.push_back(wait);
  }
  const int notWelcomed = kDevelopers - static_cast<int>(welcomed.size());
  HostileFigure(name, "developers", kDevelopers);
  HostileFigure(name, "welcomed", static_cast<double>(welcomed.size()));
  HostileFigure(name, "not_welcomed", notWelcomed);
  HostileFigure(name, "welcome_max_ms", notWelcomed > 0
                                     ? kWelcomeLimitMillis
                                     : *std::max_element(welcomed.begin(), welcomed.end()));
  HostileFigure(name, "welcome_p50_ms", Median(welcomed));
  HostileFigure(name, "welcomed_after", waits[kDevelopers] >= 0 ? 1 : 0);
  HostileFigure(name, "resets", static_cast<double>(resets.load()));
  std::fprintf(stderr,
               "%s: %zu of %d developers welcomed during %lld connect-and-resets (slowest %.0f "
               "ms); one after the storm %s\n",
               name.c_str(), welcomed.size(), kDevelopers, resets.load(),
               welcomed.empty() ? -1.0 : *std::max_element(welcomed.begin(), welcomed.end()),
               waits[kDevelopers] >= 0 ? "welcomed" : "NOT welcomed");
  std::map<std::string, int> kinds;
  HostileFigure(name, "diagnostics", host.Stop(&kinds));
  return 0;
}

}  // namespace qc::load
