// Churn: 100 consoles, up to 100 developers each (10,000 by default), who connect, type, ask for
// listings and leave (by "[quit]", by closing, by a reset) again and again, while the session
// host takes every console's messages each frame (30 a second) and broadcasts to two consoles in
// turn each frame. Some developers stop reading for a while (with a small receive buffer, so
// that their consoles' output backs up), and may be dropped for it.
//
// Every typed line carries its developer and sequence number ("L<developer>.<sequence> ") and
// a text made from both, so each echo can be checked whole. The host must take every typed line
// exactly once: a developer leaves by a reset or stops reading only once the host has taken (and
// echoed) what it typed, since a console owes nothing to a client it has dropped; a developer
// that leaves by "[quit]" or by closing does not wait. At the end everyone leaves by closing, and
// the host's tally of the lines it took is set against what was typed.
//
// The host's threads, resident memory and descriptors are measured once everyone is attached
// (start), at the end of the churn with the developers still attached (end), and after they have
// all left (idle): a design that leaks shows it between start and end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr int kConsoles = 100;
constexpr int kConnectsInFlight = 8;  // per console
constexpr int kFrameMillis = 33;
constexpr int kBroadcastsPerFrame = 2;  // each console's turn comes every 50 frames
// The mean pause between a developer's actions. Each typed line is echoed to the console's 100
// developers: with 10,000 developers the load program reads about 40,000 lines a second, what
// it can keep up with on a small machine beside the host, so that the developers' waits
// measure the consoles rather than their own backlog.
constexpr int kThinkMillis = 20000;
constexpr int kRampLimitMillis = 180000;    // attaching everyone at the start
constexpr int kWelcomeLimitMillis = 30000;  // a connect that is not welcomed by then is given up
constexpr int kDrainLimitMillis = 30000;    // waiting for one's own lines to be taken
constexpr int kQuitLimitMillis = 10000;     // waiting for the console to close after "[quit]"
constexpr int kSmallReceiveBuffer = 4096;   // developers that may stop reading
constexpr int kSettleLimitMillis = 120000;  // the host taking every notice at the end

// The text of a typed line after its "L<developer>.<sequence> ": made from both numbers, so an
// echo that lost or gained a byte anywhere shows.
std::string Payload(unsigned developer, unsigned sequence) {
  const std::size_t length = 8 + (developer * 7 + sequence * 13) % 120;
  return std::string(length, static_cast<char>('a' + (developer + sequence) % 26));
}

bool HasTimestamp(const char* text, std::size_t length) {
  if (length < 9) return false;
  for (int i : {0, 1, 3, 4, 6, 7}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return text[2] == ':' && text[5] == ':' && text[8] == ' ';
}

class Churn : public Fleet::Events {
 public:
  enum class State { kIdle, kConnecting, kActive, kDraining, kStuck, kQuitting };
  struct Slot {
    State state = State::kIdle;
    std::int64_t due = 0;
    unsigned developer = 0;
    unsigned typed = 0;
    int unechoed = 0;
    bool stuckProne = false;
    bool resetWhenDrained = false;  // else stop reading once drained
    bool wasStuck = false;
    std::int64_t listingAskedAt = 0;  // 0: no listing awaited
  };

  Churn(Fleet& fleet, int port, int slots, unsigned seed)
      : fleet_(fleet), port_(port), slots_(static_cast<std::size_t>(slots)), random_(seed) {}

  void Begin(std::int64_t now) {
    for (Slot& slot : slots_) slot.due = now + Uniform(0, 5000) * kMillis;
  }

  // Runs every slot whose time has come. With stopping set, nobody connects again.
  void Tick(std::int64_t now) {
    for (int id = 0; id < static_cast<int>(slots_.size()); ++id) {
      Slot& slot = slots_[static_cast<std::size_t>(id)];
      if (slot.due > now) continue;
      switch (slot.state) {
        case State::kIdle:
          if (stopping) {
            slot.due = now + 3600000 * kMillis;
          } else if (inFlight_[id % kConsoles] >= kConnectsInFlight) {
            slot.due = now + 20 * kMillis;
          } else {
            slot.stuckProne = Uniform(0, 99) < 5;
            if (fleet_.Open(id, static_cast<std::uint16_t>(port_ + id % kConsoles),
                            slot.stuckProne ? kSmallReceiveBuffer : 0)) {
              ++inFlight_[id % kConsoles];
              slot.state = State::kConnecting;
              slot.due = now + kWelcomeLimitMillis * kMillis;
            } else {
              ++connectFailures;
              slot.due = now + 1000 * kMillis;
            }
          }
          break;
        case State::kConnecting:
          ++welcomeTimeouts;
          --inFlight_[id % kConsoles];
          Leave(id, now, false);
          break;
        case State::kActive:
          Act(id, now);
          break;
        case State::kDraining:
          if (slot.unechoed > 0) ++drainTimeouts;
          Drained(id, now);
          break;
        case State::kStuck:
          fleet_.Pause(id, false);
          slot.state = State::kActive;
          slot.due = now + Think();
          break;
        case State::kQuitting:
          ++quitTimeouts;
          Leave(id, now, false);
          break;
      }
    }
  }

  // Everyone leaves by closing.
  void CloseAll(std::int64_t now) {
    stopping = true;
    for (int id = 0; id < static_cast<int>(slots_.size()); ++id) {
      Slot& slot = slots_[static_cast<std::size_t>(id)];
      if (slot.state == State::kConnecting) --inFlight_[id % kConsoles];
      if (slot.state != State::kIdle) Leave(id, now, false);
    }
  }

  int Population() const {
    int attached = 0;
    for (const Slot& slot : slots_)
      attached += slot.state != State::kIdle && slot.state != State::kConnecting;
    return attached;
  }

  void Line(int id, const char* text, std::size_t length) override {
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    ++linesHeard;
    if (!HasTimestamp(text, length)) {
      Malformed(text, length);
      return;
    }
    const char* body = text + 9;
    const std::size_t size = length - 9;
    auto startsWith = [&](const char* what) {
      const std::size_t n = std::strlen(what);
      return size >= n && std::memcmp(body, what, n) == 0;
    };
    if (startsWith("QC_MSG: L")) {
      char* end = nullptr;
      const unsigned developer = static_cast<unsigned>(std::strtoul(body + 9, &end, 10));
      const unsigned sequence =
          *end == '.' ? static_cast<unsigned>(std::strtoul(end + 1, &end, 10)) : 0;
      const std::string expected = " " + Payload(developer, sequence) + "\n";
      if (static_cast<std::size_t>(text + length - end) != expected.size() ||
          std::memcmp(end, expected.data(), expected.size()) != 0) {
        Malformed(text, length);
        return;
      }
      if (developer == slot.developer && slot.unechoed > 0 &&
          (slot.state == State::kActive || slot.state == State::kDraining ||
           slot.state == State::kQuitting)) {
        --slot.unechoed;
        if (slot.unechoed == 0 && slot.state == State::kDraining) Drained(id, NowNanos());
      }
    } else if (startsWith("QC_MSG: B ")) {
      ++broadcastsHeard;
    } else if (startsWith("QC_OK: Welcome to the Team Quillaret")) {
      if (slot.state == State::kConnecting) {
        --inFlight_[id % kConsoles];
        slot.state = State::kActive;
        slot.developer = nextDeveloper++;
        typedBy.push_back(0);
        slot.typed = 0;
        slot.unechoed = 0;
        slot.wasStuck = false;
        slot.due = NowNanos() + Think();
        ++sessions;
      }
    } else if (startsWith("QC_OK: End of list")) {
      ++listingsAnswered;
      if (slot.listingAskedAt > 0) {
        const double waited = static_cast<double>(NowNanos() - slot.listingAskedAt) / 1e6;
        if (waited > slowestListingMillis) slowestListingMillis = waited;
        slot.listingAskedAt = 0;
      }
    } else if (startsWith("QC_OK: ") || startsWith("QC_ERROR: ")) {
      // Listing rows, notices the host took and echoed, the farewell: whole lines of their own.
    } else {
      Malformed(text, length);
    }
  }

  void Closed(int id, bool) override {
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    if (slot.state == State::kConnecting) {
      --inFlight_[id % kConsoles];
      ++connectFailures;
    } else if (slot.state != State::kQuitting) {
      ++closedByConsole;
      if (slot.wasStuck) ++stuckDropped;
    }
    if (slot.listingAskedAt > 0 && !stopping) ++listingsUnanswered;
    slot.listingAskedAt = 0;
    slot.state = State::kIdle;
    slot.due = NowNanos() + Uniform(200, 2000) * kMillis;
  }

  // How many slots are in each state, for the log.
  std::string States() const {
    int count[6] = {};
    for (const Slot& slot : slots_) ++count[static_cast<int>(slot.state)];
    char text[160];
    std::snprintf(text, sizeof text,
                  "idle %d, connecting %d, active %d, draining %d, not reading %d, quitting %d",
                  count[0], count[1], count[2], count[3], count[4], count[5]);
    return text;
  }

  bool stopping = false;
  unsigned nextDeveloper = 0;
  std::vector<unsigned> typedBy;  // lines typed, by developer
  long long sessions = 0, linesTyped = 0, partialSends = 0, listingsAsked = 0, listingsAnswered = 0,
            quits = 0, closes = 0, resets = 0, stuck = 0, stuckDropped = 0, closedByConsole = 0,
            connectFailures = 0, welcomeTimeouts = 0, drainTimeouts = 0, quitTimeouts = 0,
            malformed = 0, linesHeard = 0, broadcastsHeard = 0, listingsUnanswered = 0;
  double slowestListingMillis = 0;

 private:
  long Uniform(long low, long high) {
    return std::uniform_int_distribution<long>(low, high)(random_);
  }
  std::int64_t Think() { return Uniform(kThinkMillis / 2, kThinkMillis * 3 / 2) * kMillis; }

  void Act(int id, std::int64_t now) {
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    const long roll = Uniform(0, 99);
    slot.due = now + Think();
    if (roll < 17) {
      ++listingsAsked;
      if (slot.listingAskedAt == 0) slot.listingAskedAt = now;
      fleet_.Send(id, roll < 12 ? "[who]\r\n" : "[spawns]\r\n");
    } else if (roll < 20) {
      ++quits;
      fleet_.Send(id, "[quit]\r\n");
      slot.state = State::kQuitting;
      slot.due = now + kQuitLimitMillis * kMillis;
    } else if (roll < 23) {
      ++closes;
      Leave(id, now, false);
    } else if (roll < 25 || (roll < 28 && slot.stuckProne)) {
      slot.resetWhenDrained = roll < 25;
      slot.state = State::kDraining;
      slot.due = now + kDrainLimitMillis * kMillis;
      if (slot.unechoed == 0) Drained(id, now);
    } else {
      const std::string line = "L" + std::to_string(slot.developer) + "." +
                               std::to_string(slot.typed) + " " +
                               Payload(slot.developer, slot.typed) + "\n";
      if (fleet_.Send(id, line)) {
        ++slot.typed;
        ++typedBy[slot.developer];
        ++slot.unechoed;
        ++linesTyped;
      } else {
        // Not taken whole at once: it may yet go, or not; it counts neither way.
        ++partialSends;
        ++slot.typed;
      }
    }
  }

  // The developer's own lines have been taken (or the wait ran out): reset, or stop reading.
  void Drained(int id, std::int64_t now) {
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    if (slot.resetWhenDrained) {
      ++resets;
      Leave(id, now, true);
      return;
    }
    ++stuck;
    slot.wasStuck = true;
    fleet_.Pause(id, true);
    slot.state = State::kStuck;
    slot.due = now + Uniform(30000, 120000) * kMillis;
  }

  void Leave(int id, std::int64_t now, bool reset) {
    Slot& slot = slots_[static_cast<std::size_t>(id)];
    if (slot.listingAskedAt > 0 && !stopping) {
      ++listingsUnanswered;
      if (listingsUnanswered <= 3) {
        std::fprintf(
            stderr,
            "churn: developer %u left %lld ms after asking for a listing, unanswered (state %d)\n",
            slot.developer, static_cast<long long>((now - slot.listingAskedAt) / kMillis),
            static_cast<int>(slot.state));
      }
    }
    slot.listingAskedAt = 0;
    fleet_.Close(id, reset);
    slot.state = State::kIdle;
    slot.due = now + Uniform(200, 2000) * kMillis;
  }

  void Malformed(const char* text, std::size_t length) {
    if (++malformed <= 5) {
      std::fprintf(stderr, "churn: malformed line: %.*s\n",
                   static_cast<int>(length > 160 ? 160 : length), text);
    }
  }

  Fleet& fleet_;
  int port_;
  std::vector<Slot> slots_;
  std::mt19937 random_;
  int inFlight_[kConsoles] = {};
};

}  // namespace

int RunChurnScenario(const Options& options) {
  const int slots = options.churnDevelopers;
  RaiseDescriptorLimit(slots + 1000);
  const int port = options.basePort + kChurnPortOffset;
  Scene scene(options, "churn", "churn.library.");
  if (!scene.Start({kConsoles, kFrameMillis, {}, {}, false, false, port})) return 1;
  const std::string& base = scene.base;
  if (!scene.Ask("frames " + std::to_string(kBroadcastsPerFrame))) return 1;

  const unsigned seed = static_cast<unsigned>(NowNanos());
  std::fprintf(stderr, "churn: %d developers on %d consoles for %d s (seed %u)\n", slots, kConsoles,
               options.churnSeconds, seed);
  Fleet fleet(slots);
  Churn churn(fleet, port, slots, seed);
  const std::int64_t rampStart = NowNanos();
  churn.Begin(rampStart);
  std::int64_t now = rampStart;
  while (churn.Population() < slots * 99 / 100 &&
         now - rampStart < std::int64_t{kRampLimitMillis} * kMillis) {
    fleet.Wait(10, churn);
    now = NowNanos();
    churn.Tick(now);
  }
  const double rampMillis = static_cast<double>(now - rampStart) / 1e6;
  const int startPopulation = churn.Population();
  std::string start, end, idle;
  if (!scene.Ask("measure", &start)) return 1;

  const std::int64_t churnStart = NowNanos();
  const std::int64_t churnEnd = churnStart + std::int64_t{options.churnSeconds} * 1000 * kMillis;
  std::int64_t nextReport = churnStart + 60000 * kMillis;
  while ((now = NowNanos()) < churnEnd) {
    fleet.Wait(10, churn);
    churn.Tick(NowNanos());
    if (now >= nextReport) {
      nextReport += 60000 * kMillis;
      std::fprintf(stderr, "churn: %lld s, %d attached, %lld sessions, %lld lines typed\n",
                   static_cast<long long>((now - churnStart) / (1000 * kMillis)),
                   churn.Population(), churn.sessions, churn.linesTyped);
    }
  }
  const int endPopulation = churn.Population();
  std::fprintf(stderr, "churn: at the end: %s\n", churn.States().c_str());
  if (!scene.Ask("measure", &end)) return 1;

  // Everyone leaves; the host takes every notice and line left.
  churn.CloseAll(NowNanos());
  scene.WaitForCount(
      kSettleLimitMillis, [](const HostCount& c) { return c.connected == c.disconnected; },
      [&] { fleet.Wait(100, churn); });
  // The lines the host took, by developer, against those typed.
  long long received = 0, lost = 0, repeated = 0, unknown = 0;
  std::vector<bool> reported(churn.typedBy.size(), false);
  scene.AskTally([&](unsigned long developer, long long distinct, long long again,
                     long long highest, const std::string&) {
    received += distinct;
    repeated += again;
    if (developer >= churn.typedBy.size()) {
      unknown += distinct;
      return;
    }
    reported[developer] = true;
    const long long typed = churn.typedBy[developer];
    if (highest > typed) unknown += highest - typed;
    if (distinct < typed) lost += typed - distinct;
  });
  for (std::size_t d = 0; d < churn.typedBy.size(); ++d) {
    if (!reported[d]) lost += churn.typedBy[d];
  }
  if (!scene.Ask("measure", &idle)) return 1;

  const struct {
    const char* title;
    const char* name;
    double value;
  } rows[] = {
      {"length of the churn (s)", "seconds", static_cast<double>(options.churnSeconds)},
      {"developer slots", "developers", static_cast<double>(slots)},
      {"attached at start", "start_population", static_cast<double>(startPopulation)},
      {"attached at end", "end_population", static_cast<double>(endPopulation)},
      {"time to attach them at start (ms)", "ramp_ms", rampMillis},
      {"sessions", "sessions", static_cast<double>(churn.sessions)},
      {"lines typed", "lines_typed", static_cast<double>(churn.linesTyped)},
      {"lines the host took", "lines_received", static_cast<double>(received)},
      {"**lines lost**", "lines_lost", static_cast<double>(lost)},
      {"lines taken more than once", "lines_repeated", static_cast<double>(repeated)},
      {"lines taken that nobody typed", "lines_unknown", static_cast<double>(unknown)},
      {"lines not taken whole by the socket at once (not counted)", "partial_sends",
       static_cast<double>(churn.partialSends)},
      {"listings asked", "listings_asked", static_cast<double>(churn.listingsAsked)},
      {"listings answered", "listings_answered", static_cast<double>(churn.listingsAnswered)},
      {"listings not answered when their developer left", "listings_unanswered",
       static_cast<double>(churn.listingsUnanswered)},
      {"slowest listing answer (ms)", "slowest_listing_ms", churn.slowestListingMillis},
      {"left by [quit]", "quits", static_cast<double>(churn.quits)},
      {"left by closing", "closes", static_cast<double>(churn.closes)},
      {"left by a reset", "resets", static_cast<double>(churn.resets)},
      {"stopped reading", "stuck", static_cast<double>(churn.stuck)},
      {"dropped while not reading", "stuck_dropped", static_cast<double>(churn.stuckDropped)},
      {"closed by the console otherwise", "closed_by_console",
       static_cast<double>(churn.closedByConsole)},
      {"connects refused", "connect_failures", static_cast<double>(churn.connectFailures)},
      {"connects not welcomed in 30 s", "welcome_timeouts",
       static_cast<double>(churn.welcomeTimeouts)},
      {"own lines not taken within 30 s", "drain_timeouts",
       static_cast<double>(churn.drainTimeouts)},
      {"[quit] not closed within 10 s", "quit_timeouts", static_cast<double>(churn.quitTimeouts)},
      {"lines heard by developers", "lines_heard", static_cast<double>(churn.linesHeard)},
      {"broadcasts heard by developers", "broadcasts_heard",
       static_cast<double>(churn.broadcastsHeard)},
      {"malformed lines heard (torn, or not of the protocol)", "malformed_lines",
       static_cast<double>(churn.malformed)},
      {"longest host frame (ms)", "frame_max_ms", WordValue(end, "frame_max_ms")},
  };
  for (const auto& row : rows) scene.Row(row.title, row.name, row.value, "", -1, false);
  for (const char* key : {"threads", "rss_kib", "vm_kib", "descriptors"}) {
    scene.Figure(std::string("base_") + key, WordValue(base, key));
    scene.Figure(std::string("start_") + key, WordValue(start, key));
    scene.Figure(std::string("end_") + key, WordValue(end, key));
    scene.Figure(std::string("idle_") + key, WordValue(idle, key));
  }
  scene.Row("library diagnostics on standard error", "diagnostics", scene.Stop(), "", -1, false);
  return 0;
}

}  // namespace qc::load
