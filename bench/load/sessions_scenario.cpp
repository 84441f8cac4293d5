// Ten thousand sessions: 100 consoles of 100 developers each. The session host (a process of its
// own, native or the 32-bit Windows one under wine) spawns the consoles and takes their
// messages every few milliseconds; this process attaches the developers, at most a few at a
// time per console as a console's accept queue allows, until every one is welcomed or no more
// is for a while. Then the host broadcasts once to every console and every developer must
// receive it. Reported: how far it got, the time to attach them all, and the host's threads,
// resident memory and address space at the end. Every wait is bounded: a design that cannot
// serve them all stops where it stops, and the figures say where.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr int kConsoles = 100;
constexpr int kPerConsole = 100;
constexpr int kSessions = kConsoles * kPerConsole;
constexpr int kConnectsInFlight = 8;  // per console, below its accept queue
constexpr int kStallMillis = 20000;   // no developer welcomed for this long: it got this far
constexpr int kAttachLimitMillis = 300000;
constexpr int kBroadcastStallMillis = 15000;
constexpr int kHostAnswerMillis = 30000;

class Attach : public Fleet::Events {
 public:
  Attach(Fleet& fleet, int port) : fleet_(fleet), port_(port) {}

  void StartAll() {
    for (int c = 0; c < kConsoles; ++c) {
      for (int k = 0; k < kConnectsInFlight; ++k) Next(c);
    }
  }
  void Line(int id, const char* text, std::size_t length) override {
    const std::string line(text, length);
    if (!welcomed_[id] && line.find("Welcome to the Team Quillaret") != std::string::npos) {
      welcomed_[id] = true;
      ++welcomedCount;
      lastWelcome = NowNanos();
      Next(id / kPerConsole, true);
    } else if (!heard_[id] && line.find(" QC_MSG: B attach") != std::string::npos) {
      heard_[id] = true;
      ++heardCount;
      lastHeard = NowNanos();
    }
  }
  void Closed(int id, bool) override {
    ++closedCount;
    if (!welcomed_[id]) Next(id / kPerConsole, true);
  }

  int welcomedCount = 0;
  int heardCount = 0;
  int closedCount = 0;
  int failedCount = 0;
  std::int64_t lastWelcome = 0;
  std::int64_t lastHeard = 0;

 private:
  // Starts the console's next developer; done: one of its connects has finished.
  void Next(int console, bool done = false) {
    if (done) --inFlight_[console];
    while (inFlight_[console] < kConnectsInFlight && next_[console] < kPerConsole) {
      const int id = console * kPerConsole + next_[console]++;
      if (fleet_.Open(id, static_cast<std::uint16_t>(port_ + console))) {
        ++inFlight_[console];
      } else {
        ++failedCount;
      }
    }
  }

  Fleet& fleet_;
  int port_;
  std::vector<bool> welcomed_ = std::vector<bool>(kSessions, false);
  std::vector<bool> heard_ = std::vector<bool>(kSessions, false);
  int inFlight_[kConsoles] = {};
  int next_[kConsoles] = {};
};

}  // namespace

int RunSessionsScenario(const Options& options, bool underWine) {
  RaiseDescriptorLimit(kSessions + 1000);
  const int port = options.basePort + kSessionsPortOffset;
  const std::string where = underWine ? "win32" : "native";
  Scene scene(options, "sessions", "sessions." + where + ".library.");
  if (!scene.Start({kConsoles, 5, {}, {}, underWine, false, port})) return 1;
  scene.Figure("spawned", std::atof(scene.spawned.c_str() + 8));

  Fleet fleet(kSessions);
  Attach attach(fleet, port);
  const std::int64_t start = NowNanos();
  attach.lastWelcome = start;
  attach.StartAll();
  while (attach.welcomedCount + attach.failedCount < kSessions) {
    const std::int64_t now = NowNanos();
    if (now - attach.lastWelcome > std::int64_t{kStallMillis} * 1000000 ||
        now - start > std::int64_t{kAttachLimitMillis} * 1000000) {
      break;
    }
    fleet.Wait(50, attach);
  }
  const double attachMillis = static_cast<double>(attach.lastWelcome - start) / 1e6;
  // The host takes each developer's connected notice; wait (bounded) until it has them all.
  scene.WaitForCount(
      20000, [&](const HostCount& c) { return c.connected >= attach.welcomedCount; },
      [&] { fleet.Wait(50, attach); });
  const long long notices = std::max(0LL, scene.count.connected);

  std::string broadcast;
  attach.lastHeard = NowNanos();
  (void)scene.Ask("broadcast-all attach", &broadcast, kHostAnswerMillis);
  while (attach.heardCount < attach.welcomedCount &&
         NowNanos() - attach.lastHeard < std::int64_t{kBroadcastStallMillis} * 1000000) {
    fleet.Wait(50, attach);
  }
  std::string measure;
  const bool measured = scene.Ask("measure", &measure, kHostAnswerMillis);

  scene.Figure("clients", kSessions);
  scene.Figure("welcomed", attach.welcomedCount);
  scene.Figure("notices", static_cast<double>(notices));
  scene.Figure("broadcast_received", attach.heardCount);
  scene.Figure("closed_by_console", attach.closedCount);
  scene.Figure("attach_ms", attachMillis);
  scene.Figure("broadcast_ms", std::atof(broadcast.c_str() + 14));
  for (const char* key : {"threads", "rss_kib", "vm_kib", "descriptors"}) {
    scene.Figure(std::string("base_") + key, WordValue(scene.base, key));
    scene.Figure(key, measured ? WordValue(measure, key) : -1);
  }
  scene.Figure("diagnostics", scene.Stop());
  return 0;
}

}  // namespace qc::load
