// Connections that cost the others through how they behave: readers that take their output in
// short bursts beside one that takes none, connections that keep guessing the password, hold
// the prompt's places or flood it with telnet requests, and a storm of connections reset before
// they are taken. Each runs the session host and reports what the well-behaved developers and
// the host got.
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

#include "load/scenarios.h"

namespace qc::load {
// Three readers with 8 KiB receive buffers read for 20 ms every 0.2 to 0.4 s (8 KiB a receive,
// 1 ms apart, as a terminal that draws what it took: at most 160 KiB a burst, about 0.5 MB/s),
// and one (from 127.0.0.2) reads nothing, while the host broadcasts 12 MB (120,000 lines of
// 100 bytes) over about 4 s, with SendBufferVal=65536 (KiB) and SendTimeoutVal=2000. Measured:
// the readers dropped and the lines each kept, and the time from the first broadcast to the
// host's notice that the one that reads nothing was dropped. Natively, or with the 32-bit
// Windows session host under wine.
int RunDawdlersScenario(const Options& options, bool underWine) {
  constexpr int kReaders = 3;
  constexpr int kReceiveBuffer = 8192;
  constexpr int kLinesPerFrame = 150;
  constexpr int kFrames = 800;
  constexpr int kLineBytes = 100;
  constexpr int kSendTimeoutMillis = 2000;
  constexpr long long kLines = static_cast<long long>(kLinesPerFrame) * kFrames;
  constexpr int kReadLimitMillis = 120000;
  Scene scene(options, underWine ? "dawdlers-win32" : "dawdlers");
  if (!scene.Start({1, 5, {"SendBufferVal=65536", "SendTimeoutVal=2000"}, {}, underWine})) {
    return 1;
  }
  Developers readers;
  Developer idle;
  if (!scene.AttachMany(readers, kReaders, kReceiveBuffer) ||
      !scene.Attach(idle, 0, "127.0.0.2", kReceiveBuffer) || !scene.WaitConnected(kReaders + 1)) {
    return scene.Fail("cannot attach the developers");
  }
  for (int i = 0; i < kReaders; ++i) {
    readers[static_cast<std::size_t>(i)]->StartReading(
        ReadPattern{20, 0, 200, 400, static_cast<unsigned>(i + 1), 8192, 1}, kLineBytes);
  }
  std::string answer;
  if (!scene.Ask("mark") ||
      !scene.Ask("stream " + std::to_string(kLinesPerFrame) + " " + std::to_string(kFrames) + " " +
                 std::to_string(kLineBytes)) ||
      !scene.Expect("stream-done ", 60000, answer)) {
    return scene.Fail("the host did not stream");
  }
  const double streamMillis = std::atof(answer.c_str() + 12);
  const int dropped = WaitForStreamLines(readers, kLines, kReadLimitMillis);
  const long long fewest = FewestStreamLines(readers, kLines);
  // The notice of the developer that reads nothing (the only one from 127.0.0.2).
  scene.WaitForCount(10000, [](const HostCount& c) { return c.disconnected >= 1; });
  const double idleDropMillis = scene.NoticeMillis("127.0.0.2 disconnected");

  const std::string what = underWine ? "12 MB broadcast (32-bit Windows, wine)" : "12 MB broadcast";
  scene.Row(what + ", SendBufferVal=65536: dawdling readers dropped (of 3)", "readers_dropped",
            dropped, "", 0);
  scene.Row(what + ": lines missed by the reader that kept fewest (of 120,000)", "lines_lost_most",
            static_cast<double>(kLines - fewest), "", 0);
  scene.Row(what + ": a reader of nothing dropped, from the first broadcast (SendTimeoutVal " +
                std::to_string(kSendTimeoutMillis) + ")",
            "idle_drop_ms", idleDropMillis, "ms");
  scene.Figure("stream_ms", streamMillis);
  for (auto& reader : readers) reader->Close(false);
  idle.Close(true);
  std::map<std::string, int> kinds;
  scene.Figure("diagnostics", scene.Stop(&kinds));
  scene.Row(what + ": \"send() timed out\" diagnostics", "diag_send_timed_out",
            kinds["QC_ERROR: send() timed out"]);
  return 0;
}

namespace {

// Connections that keep guessing wrong passwords, each on a thread of its own and a new
// connection after each answer, until Stop or their time is up.
struct Guessers {
  std::atomic<bool> guessing{true};
  std::atomic<long long> guesses{0}, turnedAway{0};
  std::vector<std::thread> threads;

  ~Guessers() { Stop(); }
  // One more, from source on the console at port, until until.
  void Start(int port, const std::string& source, std::int64_t until) {
    threads.emplace_back([this, port, source, until] {
      for (long long n = 0; guessing.load() && NowNanos() < until && n < 100000; ++n) {
        const int s = ConnectFrom(port, source.c_str(), 0, 5000);
        if (s < 0) {
          SleepUntil(NowNanos() + 50 * kMillis);
          continue;
        }
        LineReader reader(s);
        if (reader.Find("QC_OK: Password required", 5000)) {
          const std::string guess = "guess-" + std::to_string(n) + "\n";
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
  void Stop() {
    guessing.store(false);
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }
};

// Gives password on a new connection from source, connecting again while the prompt turns it
// away (at most limitMillis in all). The time from the password to the answer that holds
// expected, or -1; fromFirst gets the time from the first connect, refusals the connections
// turned away.
double GivePassword(int port, const char* source, const std::string& password, const char* expected,
                    int limitMillis, double* fromFirst, int* refusals) {
  const std::int64_t first = NowNanos(), deadline = first + std::int64_t{limitMillis} * kMillis;
  while (NowNanos() < deadline) {
    const int s = ConnectFrom(port, source, 0, 5000);
    if (s < 0) continue;
    LineReader reader(s);
    std::string line;
    while (reader.Next(line, 5000) && line.find("Too many connections") == std::string::npos) {
      if (line.find("QC_OK: Password required") == std::string::npos) continue;
      const std::int64_t typed = NowNanos();
      const bool answered = SendWhole(s, (password + "\n").c_str(), password.size() + 1) &&
                            reader.Find(expected, std::max(MillisLeft(deadline), 1));
      close(s);
      if (fromFirst != nullptr) *fromFirst = static_cast<double>(NowNanos() - first) / kMillis;
      return answered ? static_cast<double>(NowNanos() - typed) / kMillis : -1;
    }
    if (refusals != nullptr) ++*refusals;
    close(s);
    SleepUntil(NowNanos() + 50 * kMillis);
  }
  return -1;
}

}  // namespace

// Two connections from 127.0.0.3 keep guessing the password (a new connection after each wrong
// answer); 1.5 s later a third from that address gives the right one. Measured: the time from
// its password to "Password accepted".
int RunPasswordGateScenario(const Options& options) {
  constexpr int kHeadStartMillis = 1500;
  constexpr int kAdmitLimitMillis = 30000;
  Scene scene(options, "password-gate");
  if (!scene.Start({1, 5, {"Password=open-sesame"}, {}})) return 1;
  const std::int64_t start = NowNanos();
  Guessers guessers;
  for (int g = 0; g < 2; ++g) {
    guessers.Start(scene.Port(), "127.0.0.3",
                   start + (kHeadStartMillis + kAdmitLimitMillis + 5000) * kMillis);
  }
  SleepUntil(start + kHeadStartMillis * kMillis);
  int refusals = 0;
  const double admitMillis =
      GivePassword(scene.Port(), "127.0.0.3", "open-sesame", "QC_OK: Password accepted",
                   kAdmitLimitMillis, nullptr, &refusals);
  guessers.Stop();
  scene.Row("password gate, 2 connections guessing: right password admitted after", "admit_ms",
            admitMillis >= 0 ? admitMillis : kAdmitLimitMillis, "ms", 3500);
  scene.Row("password gate: right password admitted within 30 s (1: yes)", "admitted",
            admitMillis >= 0 ? 1 : 0, "", -1, false);
  scene.Row("password gate: wrong guesses answered meanwhile", "guesses",
            static_cast<double>(guessers.guesses.load()), "", -1, false);
  scene.Figure("turned_away_first", refusals);
  scene.Figure("guessers_turned_away", static_cast<double>(guessers.turnedAway.load()));
  return scene.Finish();
}

// For 2 s, two threads connect and at once reset the connection (SO_LINGER 0), most of them
// before the console takes them; meanwhile 10 developers connect, one every 180 ms, and one more
// after the storm. Measured: each developer's time from its connect to the welcome line.
int RunAcceptStormScenario(const Options& options, bool underWine) {
  constexpr int kStormMillis = 2000;
  constexpr int kStormers = 2;
  constexpr int kDevelopers = 10;
  constexpr int kDeveloperEveryMillis = 180;
  constexpr int kWelcomeLimitMillis = 5000;
  Scene scene(options, underWine ? "accept-storm-win32" : "accept-storm-native");
  if (!scene.Start({1, 5, {}, {}, underWine})) return 1;
  // The console listens once a first developer is welcomed.
  if (!Developer().Attach(scene.Port(), 30000)) return scene.Fail("the console welcomes nobody");
  std::atomic<long long> resets{0};
  const std::int64_t start = NowNanos();
  std::vector<std::thread> stormers;
  for (int t = 0; t < kStormers; ++t) {
    stormers.emplace_back([&] {
      for (int n = 0; n < 200000 && NowNanos() < start + kStormMillis * kMillis; ++n) {
        const int s = ConnectFrom(scene.Port(), nullptr, 0, 50);
        if (s < 0) continue;
        CloseSocket(s, true);
        ++resets;
      }
    });
  }
  // Each developer's time to its welcome, or -1.
  std::vector<double> waits(kDevelopers + 1, -1);
  const auto attach = [&](int i) {
    const std::int64_t begun = NowNanos();
    Developer developer;
    if (developer.Attach(scene.Port(), kWelcomeLimitMillis)) {
      waits[static_cast<std::size_t>(i)] = static_cast<double>(NowNanos() - begun) / kMillis;
    }
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
  const std::string what =
      underWine ? "accept storm (32-bit Windows, wine)" : "accept storm (native)";
  scene.Row(what + ": developers not welcomed within 5 s (of 10)", "not_welcomed", notWelcomed, "",
            0);
  scene.Row(
      what + ": slowest welcome", "welcome_max_ms",
      notWelcomed > 0 ? kWelcomeLimitMillis : *std::max_element(welcomed.begin(), welcomed.end()),
      "ms", 500);
  scene.Row(what + ": connect-and-resets", "resets", static_cast<double>(resets.load()), "", -1,
            false);
  scene.Row(what + ": a developer after the storm welcomed (1: yes)", "welcomed_after",
            waits[kDevelopers] >= 0 ? 1 : 0, "", -1, false);
  scene.Figure("welcome_p50_ms", Median(welcomed));
  return scene.Finish();
}

// 5 consoles with a Password; 20 connections at each one's prompt (7 addresses of 127.0.1.x,
// at most 3 a console) send telnet requests (IAC DO ECHO) for 5 s as fast as the consoles take
// them and read nothing. Measured: the host's resident memory at its peak and once they left.
int RunPromptFloodScenario(const Options& options) {
  constexpr int kConsoles = 5;
  constexpr int kPerConsole = 20;
  Scene scene(options, "prompt-flood");
  if (!scene.Start({kConsoles, 33, {"Password=open-sesame"}, {}})) return 1;
  scene.MarkMemory();
  std::vector<int> sockets;
  for (int i = 0; i < kConsoles * kPerConsole; ++i) {
    const std::string source = "127.0.1." + std::to_string(i % kPerConsole / 3 + 1);
    const int s = ConnectFrom(scene.Port(i / kPerConsole), source.c_str(), 0, 5000);
    if (s < 0) return scene.Fail("cannot connect " + std::to_string(i));
    sockets.push_back(s);
  }
  std::string requests;
  for (int i = 0; i < 5000; ++i) requests += "\xff\xfd\x01";
  const std::int64_t end = NowNanos() + 5000 * kMillis;
  long long sent = 0;
  while (NowNanos() < end) {
    for (int s : sockets) {
      sent += static_cast<long long>(SendUntil(s, requests.data(), requests.size(), 0));
    }
    SleepUntil(NowNanos() + kMillis);
  }
  scene.Figure("bytes_sent", static_cast<double>(sent));
  scene.Row("5 x 20 prompt connections sending telnet requests: host's growth at its peak",
            "peak_growth_mib", scene.PeakGrowthKiB() / 1024, "MiB", 32);
  for (int s : sockets) close(s);
  SleepUntil(NowNanos() + 3000 * kMillis);
  scene.Row("5 x 20 prompt connections: growth 3 s after they left", "left_growth_mib",
            scene.GrowthKiB() / 1024, "MiB");
  return scene.Finish();
}

// Each of 7 addresses (127.0.0.2 to 127.0.0.8) holds 3 idle connections at the prompt and
// connects again 100 ms after one is closed; 1 s later a developer from 127.0.0.9 gives the
// right password, connecting again while the prompt turns it away. Measured: the time from its
// first connect to "Password accepted" (30000 ms: not within 30 s).
int RunPromptHoldScenario(const Options& options) {
  constexpr int kLimitMillis = 30000;
  Scene scene(options, "prompt-hold");
  if (!scene.Start({1, 33, {"Password=open-sesame"}, {}})) return 1;
  std::atomic<bool> holding{true};
  std::atomic<long long> reconnects{0};
  std::thread holders([&] {
    // The holders read what they are sent; one that the console closed connects again 100 ms on.
    struct Again : Fleet::Events {
      std::int64_t at[21] = {};
      void Closed(int id, bool) override { at[id] = NowNanos() + 100 * kMillis; }
    } again;
    Fleet held(21);
    const std::int64_t end = NowNanos() + (kLimitMillis + 5000) * kMillis;
    while (holding.load() && NowNanos() < end) {
      for (int i = 0; i < 21; ++i) {
        if (held.Socket(i) >= 0 || NowNanos() < again.at[i]) continue;
        const std::string source = "127.0.0." + std::to_string(i / 3 + 2);
        held.Open(i, static_cast<std::uint16_t>(scene.Port()), 0, source.c_str());
        ++reconnects;
      }
      held.Wait(20, again);
    }
  });
  SleepUntil(NowNanos() + 1000 * kMillis);
  double fromFirst = kLimitMillis;
  int refusals = 0;
  const bool admitted =
      GivePassword(scene.Port(), "127.0.0.9", "open-sesame", "QC_OK: Password accepted",
                   kLimitMillis, &fromFirst, &refusals) >= 0;
  holding.store(false);
  holders.join();
  scene.Row("7 addresses holding the prompt: right password from an 8th admitted after", "admit_ms",
            admitted ? fromFirst : kLimitMillis, "ms", 3000);
  scene.Row("7 addresses holding the prompt: the 8th turned away first", "turned_away_first",
            refusals, "", -1, false);
  scene.Figure("holder_connects", static_cast<double>(reconnects.load()));
  return scene.Finish();
}

// 5 consoles with a Password; 30 addresses (127.0.2.1 to 127.0.2.30) keep guessing on consoles 2
// to 5; after 8 s (when each has had an answer: 5 answers a second for the whole process)
// developers from 127.0.0.9 to 127.0.0.13 each give one wrong password on the first console,
// one after another. Measured: the time from each typo to "Wrong password".
int RunTypoScenario(const Options& options) {
  constexpr int kGuessers = 30;
  constexpr int kTypos = 5;
  constexpr int kLimitMillis = 15000;
  Scene scene(options, "typo");
  if (!scene.Start({5, 33, {"Password=open-sesame"}, {}})) return 1;
  constexpr int kHeadStartMillis = 8000;
  const std::int64_t end = NowNanos() + (kHeadStartMillis + kTypos * kLimitMillis) * kMillis;
  Guessers guessers;
  for (int g = 0; g < kGuessers; ++g) {
    guessers.Start(scene.Port(1 + g % 4), "127.0.2." + std::to_string(g + 1), end);
  }
  SleepUntil(NowNanos() + kHeadStartMillis * kMillis);
  std::vector<double> answers;
  for (int i = 0; i < kTypos; ++i) {
    const std::string source = "127.0.0." + std::to_string(9 + i);
    const double millis = GivePassword(scene.Port(), source.c_str(), "typo",
                                       "QC_ERROR: Wrong password", kLimitMillis, nullptr, nullptr);
    answers.push_back(millis >= 0 ? millis : kLimitMillis);
    scene.Figure("typo_" + std::to_string(i) + "_ms", answers.back());
  }
  guessers.Stop();
  scene.Row("a typo while 30 addresses guess on other consoles: answered after (median of 5)",
            "typo_p50_ms", Median(answers), "ms", 1500);
  scene.Row("a typo: the slowest of 5 answered after", "typo_max_ms",
            *std::max_element(answers.begin(), answers.end()), "ms");
  scene.Row("a typo: wrong guesses answered meanwhile", "guesses",
            static_cast<double>(guessers.guesses.load()), "", -1, false);
  return scene.Finish();
}

}  // namespace qc::load
