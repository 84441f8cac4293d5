// qc_host_load: the end-to-end load program. It is a game host: it loads the console library by
// its exported names and drives it over loopback. Every scenario runs in a child process of its
// own and sets each figure beside a baseline measured in the same process; this program collects
// the figures, takes the median (or for worst-case figures the largest) over the repeats, and
// prints one line per figure with its ratio to the baseline (and a markdown table when asked).
// With --before-library, the scenarios also run against an earlier build of the library, whose
// figures stand beside the current ones. The sessions and churn scenarios drive the session host
// (qc_session_host, a process of its own); with --win32-directory the sessions scenario also
// runs the 32-bit Windows session host under wine.
//
//   qc_host_load [--library PATH] [--before-library PATH [--before-label TEXT]] [--repeats N]
//                [--base-port PORT] [--markdown FILE] [--plot-data FILE]
//                [--session-host PATH] [--win32-directory DIR [--before-win32-directory DIR]]
//                [--churn-seconds N] [--churn-developers N] [--only KIND[,KIND...]]
//                [--hostile-port PORT] [--hostile-repeats N] [--libraries both|before]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

using Figures = std::map<std::string, std::vector<double>>;

// A row of the hostile or the churn table as its scenario declares it (Scene::Row): the
// figure's key, its unit, the most it may be (below 0: none), and whether the worst run stands
// for it.
struct HostileRow {
  std::string title, key, unit;
  double target = -1;
  bool worst = false;
};
// The rows in the order the scenarios first declared them.
std::vector<HostileRow> g_rows;

// A command-line option: a text or a number.
struct Flag {
  const char* name;
  std::string* text;
  int* number;
};
// The options a scenario's process is given again (--scenario runs it with them).
std::vector<Flag> OptionFlags(Options& options) {
  return {{"--library", &options.library, nullptr},
          {"--repeats", nullptr, &options.repeats},
          {"--base-port", nullptr, &options.basePort},
          {"--session-host", &options.sessionHost, nullptr},
          {"--win32-directory", &options.win32Directory, nullptr},
          {"--churn-seconds", nullptr, &options.churnSeconds},
          {"--churn-developers", nullptr, &options.churnDevelopers},
          {"--hostile-port", nullptr, &options.hostilePort}};
}

// Runs this program again as "--scenario name" and gathers the figures and rows it prints. The
// child is killed when it has not finished within millis. False when it failed or was killed. With
// asBefore, every figure is kept with "before." in front of its name.
bool RunScenario(const std::string& name, const Options& options, int millis, Figures& figures,
                 bool asBefore = false) {
  std::vector<std::string> argv = {"/proc/self/exe", "--scenario", name};
  Options given = options;
  for (const Flag& flag : OptionFlags(given)) {
    argv.insert(argv.end(),
                {flag.name, flag.text != nullptr ? *flag.text : std::to_string(*flag.number)});
  }
  ChildProcess child;
  if (!child.Start(argv)) return false;
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * 1000000;
  for (std::string line; MillisLeft(deadline) > 0 && child.NextLine(MillisLeft(deadline), line);) {
    std::istringstream words(line);
    std::string word, figure;
    double value = 0;
    if (!(words >> word >> figure)) continue;
    if (word == "row") {
      HostileRow row;
      row.key = figure;
      words >> row.unit >> row.target >> row.worst;
      std::getline(words >> std::ws, row.title);
      if (row.unit == "-") row.unit.clear();
      const auto known = [&](const HostileRow& other) { return other.key == row.key; };
      if (std::none_of(g_rows.begin(), g_rows.end(), known)) g_rows.push_back(row);
    } else if (word == "figure" && words >> value) {
      figures[(asBefore ? "before." : "") + figure].push_back(value);
    }
  }
  const bool killed = !child.Ended();
  const bool ended = child.Finish(killed ? 0 : 10000);
  if (killed) std::fprintf(stderr, "qc_host_load: scenario %s ran out of time\n", name.c_str());
  return !killed && ended;
}

enum class Check {
  kNone,
  kRatio,    // the ratio to the baseline may be at most the target
  kValue,    // the figure itself may be at most the target
  kAtLeast,  // the ratio to the baseline must be at least the target
};

struct Row {
  const char* figure;
  const char* libraryKey;
  const char* baselineKey;   // null for a figure without a baseline
  const char* baselineName;  // "before" stands for the earlier build's label
  const char* unit;
  double scale;  // from the reported unit to the printed one
  Check check;
  double target;
  bool worst;  // the largest over the repeats rather than the median
};

constexpr const char* kBefore = "before";

// The main table's fixed rows.
const Row kRows[] = {
    {"echo round trip p50", "echo.library.p50", "echo.sameshape.p50", "same-shape stand-in", "us",
     1e-3, Check::kRatio, 1.2, false},
    {"echo round trip p50, earlier build", "before.echo.library.p50", "before.echo.sameshape.p50",
     "same-shape stand-in", "us", 1e-3, Check::kNone, 0, false},
    {"echo round trip p50", "echo.library.p50", "echo.plain.p50", "plain blocking echo", "us", 1e-3,
     Check::kNone, 0, false},
    {"echo round trip p99", "echo.library.p99", "echo.sameshape.p99", "same-shape stand-in", "us",
     1e-3, Check::kNone, 0, false},
    {"echo round trip p99", "echo.library.p99", "echo.plain.p99", "plain blocking echo", "us", 1e-3,
     Check::kNone, 0, false},
    {"BroadcastMsg median, 100 clients / 1 client", "calls.library.broadcast.ratio",
     "before.calls.library.broadcast.ratio", kBefore, "x", 1, Check::kValue, 3, false},
    {"GetNextMessage with its echo median, 100 clients / 1 client", "calls.library.echo.ratio",
     "before.calls.library.echo.ratio", kBefore, "x", 1, Check::kValue, 3, false},
    {"lines delivered per second to 100 clients", "delivery.library.lines_per_s",
     "before.delivery.library.lines_per_s", kBefore, "k/s", 1e-3, Check::kAtLeast, 1.0, false},
    {"lines delivered per second to 100 clients", "delivery.library.lines_per_s",
     "delivery.plain.lines_per_s", "plain send loop", "k/s", 1e-3, Check::kNone, 0, false},
    {"fan-out per client-send", "fanout.library.ns", "fanout.plain.ns", "plain send loop", "ns", 1,
     Check::kRatio, 1.3, false},
    {"fan-out per client-send", "fanout.library.ns", "before.fanout.library.ns", kBefore, "ns", 1,
     Check::kNone, 0, false},
    {"spawn 100 consoles: time", "spawn.library.ms", "before.spawn.library.ms", kBefore, "ms", 1,
     Check::kNone, 0, false},
    {"spawn 100 consoles: threads", "spawn.library.threads", "before.spawn.library.threads",
     kBefore, "", 1, Check::kNone, 0, false},
    {"spawn 100 consoles: resident memory", "spawn.library.rss_kib", "before.spawn.library.rss_kib",
     kBefore, "MiB", 1.0 / 1024, Check::kNone, 0, false},
    {"spawn 100 consoles: time until every port listens", "spawn.library.listen_ms",
     "before.spawn.library.listen_ms", kBefore, "ms", 1, Check::kNone, 0, false},
    {"spawn 100 consoles: time", "spawn.library.ms", "spawn.idle.ms", "10,100 idle threads", "ms",
     1, Check::kRatio, 1.5, false},
    {"spawn 100 consoles: resident memory", "spawn.library.rss_kib", "spawn.idle.rss_kib",
     "10,100 idle threads", "MiB", 1.0 / 1024, Check::kRatio, 1.5, false},
    {"frame cost, 100 consoles polled", "frame.library.ns", "frame.bare.ns", "bare lookup loop",
     "us", 1e-3, Check::kRatio, 2.0, false},
};
// The rows of each stuck-client run (1 and 10 stuck clients), "#" standing for the count.
const Row kStuckRows[] = {
    {"# stuck among 10 readers, SendTimeoutVal 2000: longest host call (worst run)",
     "stuck.#.2000.library.longest_call_ms", "stuck.#.2000.library.limit_ms", "SendTimeoutVal",
     "ms", 1, Check::kRatio, 0.01, true},
    {"# stuck among 10 readers, SendTimeoutVal 2000: longest host call, earlier build (worst run)",
     "before.stuck.#.2000.library.longest_call_ms", "stuck.#.2000.library.limit_ms",
     "SendTimeoutVal", "ms", 1, Check::kNone, 0, true},
    {"# stuck among 10 readers, SendTimeoutVal 2000: host calls over 10 ms (worst run)",
     "stuck.#.2000.library.slow_calls", "before.stuck.#.2000.library.slow_calls", kBefore, "", 1,
     Check::kNone, 0, true},
    {"# stuck among 10 readers, SendTimeoutVal 2000: from the longest call before the drops to "
     "the last drop",
     "stuck.#.2000.library.notice_ms", nullptr, nullptr, "ms", 1, Check::kNone, 0, false},
    {"# stuck among 10 readers, SendTimeoutVal 2000: readers missing a line (worst run)",
     "stuck.#.2000.library.readers_missing_lines", nullptr, nullptr, "", 1, Check::kValue, 0, true},
};

// The clients of the host-call scenario.
const int kCallClients[] = {1, 10, 100};

// The main table's rows: the fixed ones, then those of each stuck-client run.
std::vector<Row> AllRows() {
  static std::deque<std::string> texts;  // the rows' texts, kept for the program's life
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (int stuck : {1, 10}) {
    const auto fill = [&](const char*& text) {
      if (text == nullptr || std::strchr(text, '#') == nullptr) return;
      std::string filled = text;
      filled.replace(filled.find('#'), 1, std::to_string(stuck));
      text = texts.emplace_back(std::move(filled)).c_str();
    };
    for (Row row : kStuckRows) {
      for (const char** text : {&row.figure, &row.libraryKey, &row.baselineKey}) fill(*text);
      rows.push_back(row);
    }
  }
  return rows;
}

// A number as format prints it.
std::string Printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Amount(double value, const char* unit) {
  const std::string amount = Printed(value >= 100 || unit[0] == '\0' ? "%.0f" : "%.2f", value);
  return unit[0] == '\0' ? amount : amount + " " + unit;
}

double Aggregate(const std::vector<double>& values, bool worst) {
  return worst ? *std::max_element(values.begin(), values.end()) : Median(values);
}

// The median of a figure over its repeats, or -1 when it was not measured.
double Value(const Figures& figures, const std::string& key) {
  const auto found = figures.find(key);
  return found == figures.end() || found->second.empty() ? -1 : Median(found->second);
}

// Adds the figures made from others: the ratio of each call's median with 100 clients to its
// median with 1.
void AddDerivedFigures(Figures& figures) {
  for (const char* who : {"", "before."}) {
    for (const char* call : {"broadcast", "echo"}) {
      const std::string key = std::string(who) + "calls.library." + call;
      const double one = Value(figures, key + ".1.p50");
      const double hundred = Value(figures, key + ".100.p50");
      if (one > 0 && hundred > 0) figures[key + ".ratio"] = {hundred / one};
    }
  }
}

// The main table: one line per figure on standard output and a markdown row each. Returns the
// number of targets missed.
int MainTable(const Figures& figures, const std::string& beforeLabel, std::ostream& table) {
  table << "| Figure | This tree | Compared with | Ratio | Target |\n|---|---|---|---|---|\n";
  int missed = 0;
  for (const Row& row : AllRows()) {
    const auto library = figures.find(row.libraryKey);
    const auto baseline =
        row.baselineKey != nullptr ? figures.find(row.baselineKey) : figures.end();
    const bool hasBaseline = baseline != figures.end();
    if (library == figures.end() ||
        (row.baselineKey != nullptr && !hasBaseline && row.check != Check::kValue)) {
      continue;
    }
    const double mine = Aggregate(library->second, row.worst) * row.scale;
    const double theirs = hasBaseline ? Aggregate(baseline->second, row.worst) * row.scale : 0;
    const double ratio = theirs > 0 ? mine / theirs : 0;
    std::string verdict = "-";
    if (row.check == Check::kValue || (row.check != Check::kNone && hasBaseline)) {
      const bool met = row.check == Check::kRatio     ? ratio <= row.target
                       : row.check == Check::kAtLeast ? ratio >= row.target
                                                      : mine <= row.target;
      verdict = row.check == Check::kValue
                    ? "<= " + Amount(row.target, row.unit)
                    : Printed(row.check == Check::kRatio ? "<= %.2gx" : ">= %.2gx", row.target);
      verdict += met ? " met" : " MISSED";
      missed += met ? 0 : 1;
    }
    std::string baselineText = "-";
    if (hasBaseline) {
      const bool before = std::strcmp(row.baselineName, kBefore) == 0;
      baselineText =
          Amount(theirs, row.unit) + " (" + (before ? beforeLabel : row.baselineName) + ")";
    }
    const std::string ratioText = hasBaseline ? Printed("%.2f", ratio) : "-";
    std::printf("%-76s %-10s %-34s ratio %5s  %s\n", row.figure, Amount(mine, row.unit).c_str(),
                baselineText.c_str(), ratioText.c_str(), verdict.c_str());
    table << "| " << row.figure << " | " << Amount(mine, row.unit) << " | " << baselineText << " | "
          << ratioText << " | " << verdict << " |\n";
  }
  return missed;
}

// A figure's median for the tables, or "-" when it is missing.
std::string Cell(const Figures& figures, const std::string& key, const char* unit,
                 double scale = 1) {
  const double value = Value(figures, key);
  return value < 0 ? "-" : Amount(value * scale, unit);
}

// Host call times by the number of attached clients, and the plot's data (microseconds).
void CallsTable(const Figures& figures, const std::string& beforeLabel, std::ostream& table,
                const std::string& plotData) {
  table << "| Clients | BroadcastMsg p50 | p50, " << beforeLabel << " | BroadcastMsg p99 | p99, "
        << beforeLabel << " | GetNextMessage + echo p50 | p50, " << beforeLabel
        << " | GetNextMessage + echo p99 | p99, " << beforeLabel << " |\n"
        << "|---|---|---|---|---|---|---|---|---|\n";
  // The plot's columns stand in the table's order.
  std::ofstream plot;
  if (!plotData.empty()) {
    plot.open(plotData, std::ios::binary);
    plot << "# clients";
    for (const char* column : {"broadcast_p50", "broadcast_p99", "echo_p50", "echo_p99"}) {
      plot << " after_" << column << " before_" << column;
    }
    plot << "\n";
  }
  for (int clients : kCallClients) {
    table << "| " << clients;
    if (plot.is_open()) plot << clients;
    for (const char* call : {"broadcast", "echo"}) {
      for (const char* percentile : {"p50", "p99"}) {
        for (const char* who : {"", "before."}) {
          const std::string key = std::string(who) + "calls.library." + call + "." +
                                  std::to_string(clients) + "." + percentile;
          const double value = Value(figures, key);
          table << " | " << (value < 0 ? "-" : Amount(value * 1e-3, "us"));
          if (plot.is_open()) plot << " " << (value < 0 ? "NaN" : std::to_string(value / 1e3));
        }
      }
    }
    table << " |\n";
    if (plot.is_open()) plot << "\n";
  }
}

// The 10,000-session runs: one row per host and library.
void SessionsTable(const Figures& figures, const std::string& beforeLabel, std::ostream& table) {
  table << "| Host | Library | Consoles | Welcomed | Connected notices taken | Heard the broadcast "
           "| Time to attach (to the last welcome) | Threads | Resident memory | Address space | "
           "Diagnostics |\n"
        << "|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (const char* where : {"native", "win32"}) {
    for (const char* who : {"", "before."}) {
      const std::string key = std::string(who) + "sessions." + where + ".library.";
      const auto cell = [&](const char* figure, const char* unit = "", double scale = 1) {
        return Cell(figures, key + figure, unit, scale);
      };
      if (Value(figures, key + "welcomed") < 0) continue;
      table << "| "
            << (std::strcmp(where, "native") == 0 ? "native (64-bit Linux)"
                                                  : "32-bit Windows under wine, 1 MiB stacks")
            << " | " << (who[0] == '\0' ? "this tree" : beforeLabel) << " | " << cell("spawned")
            << " | " << cell("welcomed") << " of " << cell("clients") << " | " << cell("notices")
            << " | " << cell("broadcast_received") << " | " << cell("attach_ms", "s", 1e-3) << " | "
            << cell("threads") << " | " << cell("rss_kib", "MiB", 1.0 / 1024) << " | "
            << cell("vm_kib", "MiB", 1.0 / 1024) << " | " << cell("diagnostics") << " |\n";
    }
  }
}

// The churn run: what happened, and the host's figures at start, end and after everyone left.
void ChurnTable(const Figures& figures, std::ostream& table) {
  const std::string key = "churn.library.";
  if (Value(figures, key + "lines_typed") < 0) return;
  table << "| | |\n|---|---|\n";
  for (const HostileRow& row : g_rows) {
    if (row.key.rfind(key, 0) != 0) continue;
    table << "| " << row.title << " | " << Cell(figures, row.key, "") << " |\n";
  }
  table << "\n| Session host | before the spawns | start | end | everyone gone |\n"
        << "|---|---|---|---|---|\n";
  const struct {
    const char* what;
    const char* name;
    const char* unit;
    double scale;
  } process[] = {{"threads", "threads", "", 1},
                 {"resident memory", "rss_kib", "MiB", 1.0 / 1024},
                 {"address space", "vm_kib", "MiB", 1.0 / 1024},
                 {"descriptors", "descriptors", "", 1}};
  for (const auto& figure : process) {
    table << "| " << figure.what;
    for (const char* when : {"base_", "start_", "end_", "idle_"}) {
      table << " | " << Cell(figures, key + when + figure.name, figure.unit, figure.scale);
    }
    table << " |\n";
  }
}

// How the program runs a scenario: one process against each library, whose repeats are rounds
// within it; one process each repeat (against each library, or this tree's alone); the 10,000
// sessions; the churn soak; or --hostile-repeats processes of a hostile-connection scenario.
enum class Runs { kOnce, kEachRepeat, kEachRepeatThisTree, kSessions, kChurn, kHostile };
// Every scenario: the kind it belongs to (for --only), its name (for --scenario), how it runs,
// and the time its process may take. A name that ends in "-win32" runs the 32-bit Windows
// session host under wine.
struct Scenario {
  const char* kind;
  const char* name;
  int (*run)(const Options& options);
  Runs runs = Runs::kHostile;
  int millis = 300000;
};
// A scenario's run with its arguments.
template <auto run, auto... arguments>
int With(const Options& options) {
  return run(options, arguments...);
}
const Scenario kScenarios[] = {
    {"echo", "echo", RunEchoScenario, Runs::kOnce, 120000},
    {"calls", "fanout-1", With<RunFanOutScenario, 1>, Runs::kOnce, 180000},
    {"calls", "fanout-10", With<RunFanOutScenario, 10>, Runs::kOnce, 180000},
    {"calls", "fanout-100", With<RunFanOutScenario, 100>, Runs::kOnce, 180000},
    {"spawn", "spawn", RunSpawnScenario, Runs::kEachRepeat, 90000},
    {"spawn", "idle-threads", RunIdleThreadsScenario, Runs::kEachRepeatThisTree, 90000},
    {"stuck", "stuck-1-2000", With<RunStuckScenario, 1, 2000>, Runs::kEachRepeat, 180000},
    {"stuck", "stuck-10-2000", With<RunStuckScenario, 10, 2000>, Runs::kEachRepeat, 180000},
    {"sessions", "sessions-native", With<RunSessionsScenario, false>, Runs::kSessions, 900000},
    {"sessions", "sessions-win32", With<RunSessionsScenario, true>, Runs::kSessions, 900000},
    {"churn", "churn", RunChurnScenario, Runs::kChurn},
    {"flood", "flood", With<RunFloodScenario, 0>},
    {"flood", "flood-sendbuffer-1048576", With<RunFloodScenario, 1048576>},
    {"paste", "paste-5000", With<RunPasteScenario, 5000, 5>},
    {"paste", "paste-80000", With<RunPasteScenario, 80000, 4000>},
    {"overflow", "overflow-stream", RunOverflowStreamScenario},
    {"bigpaste", "big-paste", RunBigPasteScenario},
    {"dawdlers", "dawdlers", With<RunDawdlersScenario, false>},
    {"dawdlers", "dawdlers-win32", With<RunDawdlersScenario, true>},
    {"gate", "password-gate", RunPasswordGateScenario},
    {"storm", "accept-storm-native", With<RunAcceptStormScenario, false>},
    {"storm", "accept-storm-win32", With<RunAcceptStormScenario, true>},
    {"fullstack", "full-stack", RunFullStackScenario},
    {"paste10mb", "paste-10mb", RunPaste10MbScenario},
    {"linerate", "line-rate", RunLineRateScenario},
    {"promptflood", "prompt-flood", RunPromptFloodScenario},
    {"prompthold", "prompt-hold", RunPromptHoldScenario},
    {"unpolled", "unpolled", RunUnpolledScenario},
    {"order", "order-33", With<RunOrderScenario, 33>},
    {"order", "order-500", With<RunOrderScenario, 500>},
    {"typo", "typo", RunTypoScenario},
    {"stderr", "stderr-unread", RunUnreadErrorScenario},
    {"worstcase", "worst-case-100", RunWorstCaseScenario},
};
// Each run of a hostile scenario takes the next of this many blocks of 10 ports from
// --hostile-port on, so that no run binds a port whose last connections linger.
constexpr int kHostilePortBlocks = 100;

// One cell of the hostile table: the aggregate, each run's value, and the verdict.
std::string HostileCell(const Figures& figures, const std::string& key, const HostileRow& row) {
  const auto found = figures.find(key);
  if (found == figures.end() || found->second.empty()) return "-";
  std::string cell = Amount(Aggregate(found->second, row.worst), row.unit.c_str());
  if (found->second.size() > 1) {
    cell += " (";
    for (std::size_t i = 0; i < found->second.size(); ++i) {
      const double run = found->second[i];
      cell += (i > 0 ? ", " : "") + Printed(run >= 100 || row.unit.empty() ? "%.0f" : "%.1f", run);
    }
    cell += ")";
  }
  if (row.target >= 0) {
    cell += Aggregate(found->second, row.worst) <= row.target ? " met" : " **MISSED**";
  }
  return cell;
}

// The hostile-connection figures: one row each, the earlier build beside this tree. Returns the
// number of targets this tree missed.
int HostileTable(const Figures& figures, const std::string& beforeLabel, std::ostream& table) {
  table << "| Figure | " << beforeLabel << " | this tree | Target |\n|---|---|---|---|\n";
  int missed = 0;
  for (const HostileRow& row : g_rows) {
    if (row.key.rfind("hostile.", 0) != 0) continue;
    const std::string mine = HostileCell(figures, row.key, row);
    const std::string before = HostileCell(figures, "before." + row.key, row);
    if (mine.find("MISSED") != std::string::npos) ++missed;
    std::string target = "-";
    if (row.target >= 0) target = "<= " + Amount(row.target, row.unit.c_str());
    std::printf("%-84s %-28s %-28s %s\n", row.title.c_str(), before.c_str(), mine.c_str(),
                target.c_str());
    table << "| " << row.title << " | " << before << " | " << mine << " | " << target << " |\n";
  }
  return missed;
}

struct Plan {
  std::string beforeLibrary;
  std::string beforeLabel = "earlier build";
  std::string beforeWin32Directory;
  std::string markdown;
  std::string plotData;
  // Scenario kinds to run, separated by commas (echo, calls, spawn, stuck, sessions, churn, and
  // the hostile kinds, or "hostile" for all of those); empty: every kind.
  std::string only;
  // "before": run only the earlier build (a report of the figures before a change).
  std::string libraries = "both";
  // Runs of each hostile-connection scenario (each a process of its own, about 5 to 40 s).
  int hostileRepeats = 3;
};

int Orchestrate(const Options& options, const Plan& plan) {
  Figures figures;
  Options before = options;
  before.library = plan.beforeLibrary;
  const bool hasBefore = !plan.beforeLibrary.empty();
  bool ok = true;
  const bool thisTree = !(hasBefore && plan.libraries == "before");
  const auto listed = [&](const std::string& kind) {
    return ("," + plan.only + ",").find("," + kind + ",") != std::string::npos;
  };
  const auto wanted = [&](const char* kind) { return plan.only.empty() || listed(kind); };
  // Runs a scenario against this tree's library and, when there is one, the earlier build.
  const auto both = [&](const std::string& name, int millis) {
    if (thisTree) ok = RunScenario(name, options, millis, figures) && ok;
    if (hasBefore) ok = RunScenario(name, before, millis, figures, true) && ok;
  };
  for (const Scenario& scenario : kScenarios) {
    if (scenario.runs == Runs::kOnce && wanted(scenario.kind)) both(scenario.name, scenario.millis);
  }
  // A spawn happens once per process, so each repeat is a process of its own; so is each run of
  // stuck clients, since a console never stops. The kinds alternate within each repeat.
  for (int i = 0; i < options.repeats; ++i) {
    for (const Scenario& scenario : kScenarios) {
      if (!wanted(scenario.kind)) continue;
      if (scenario.runs == Runs::kEachRepeat) both(scenario.name, scenario.millis);
      if (scenario.runs == Runs::kEachRepeatThisTree) {
        ok = RunScenario(scenario.name, options, scenario.millis, figures) && ok;
      }
    }
  }
  // Runs a scenario against this tree's library (the sessions even with --libraries before)
  // and, when there is one, the earlier build; under wine, each library's when it has its
  // folder. Every run on ports of its own: a port whose last connections linger in TIME_WAIT
  // may not be bound again at once under wine.
  int sessionRun = 0;
  int hostileRun = 0;
  const auto onPortsOfItsOwn = [&](const Scenario& scenario, int repeats) {
    const std::string name = scenario.name;
    const bool underWine = name.size() > 6 && name.compare(name.size() - 6, 6, "-win32") == 0;
    if (underWine && options.win32Directory.empty()) return;
    for (int i = 0; i < repeats; ++i) {
      for (const bool asBefore : {false, true}) {
        if (asBefore ? !hasBefore || (underWine && plan.beforeWin32Directory.empty())
                     : !thisTree && scenario.runs != Runs::kSessions) {
          continue;
        }
        Options run = asBefore ? before : options;
        run.win32Directory = !underWine ? ""
                             : asBefore ? plan.beforeWin32Directory
                                        : options.win32Directory;
        if (scenario.runs == Runs::kSessions) {
          run.basePort += 100 * sessionRun++;
        } else {
          run.hostilePort = options.hostilePort + 10 * (hostileRun++ % kHostilePortBlocks);
        }
        ok = RunScenario(name, run, scenario.millis, figures, asBefore) && ok;
      }
    }
  };
  for (const Scenario& scenario : kScenarios) {
    if (scenario.runs == Runs::kSessions && wanted(scenario.kind)) onPortsOfItsOwn(scenario, 1);
  }
  if (wanted("churn") && options.churnSeconds > 0) {
    ok = RunScenario("churn", options, (options.churnSeconds + 900) * 1000, figures) && ok;
  }
  // The hostile connections: the repeats of a scenario alternate between the two libraries.
  for (const Scenario& scenario : kScenarios) {
    if (scenario.runs == Runs::kHostile && (wanted(scenario.kind) || listed("hostile"))) {
      onPortsOfItsOwn(scenario, plan.hostileRepeats);
    }
  }
  AddDerivedFigures(figures);

  std::ostringstream markdown;
  markdown << "### Figures against the earlier build and the baselines\n\n";
  const int missed = MainTable(figures, plan.beforeLabel, markdown);
  markdown << "\n### Host call time against attached reading clients\n\n";
  CallsTable(figures, plan.beforeLabel, markdown, plan.plotData);
  markdown << "\n### 100 consoles x 100 developers\n\n";
  SessionsTable(figures, plan.beforeLabel, markdown);
  markdown << "\n### Churn\n\n";
  ChurnTable(figures, markdown);
  markdown << "\n### Hostile and careless connections\n\n";
  const int hostileMissed = HostileTable(figures, plan.beforeLabel, markdown);
  std::printf("(medians of %d repeats, or the worst run where marked)\n", options.repeats);
  if (!plan.markdown.empty()) {
    std::ofstream file(plan.markdown, std::ios::binary);
    file << markdown.str();
  }
  if (!ok) return Fail("qc_host_load: a scenario failed; its figures are missing");
  if (missed + hostileMissed > 0) {
    std::printf("%d target(s) missed\n", missed + hostileMissed);
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qc_host_load [--library PATH]\n"
               "                    [--before-library PATH [--before-label TEXT]]\n"
               "                    [--repeats N (>= 1)] [--base-port PORT] [--markdown FILE]\n"
               "                    [--plot-data FILE] [--session-host PATH]\n"
               "                    [--win32-directory DIR [--before-win32-directory DIR]]\n"
               "                    [--churn-seconds N (0: none)] [--churn-developers N]\n"
               "                    [--only KIND[,KIND...]: echo calls spawn stuck sessions churn\n"
               "                     flood paste overflow bigpaste dawdlers gate storm fullstack\n"
               "                     paste10mb linerate promptflood prompthold unpolled order\n"
               "                     typo stderr worstcase hostile]\n"
               "                    [--hostile-port PORT] [--hostile-repeats N (1-20)]\n"
               "                    [--libraries both|before]\n");
  return 2;
}

// Runs one scenario in this process.
int RunOne(const std::string& scenario, const Options& options) {
  for (const Scenario& run : kScenarios) {
    if (scenario == run.name) return run.run(options);
  }
  return 2;
}

}  // namespace
}  // namespace qc::load

int main(int argc, char** argv) {
  using namespace qc::load;
  Options options;
  options.library = QC_LIBRARY_PATH;
  options.sessionHost = QC_SESSION_HOST_PATH;
  Plan plan;
  std::string scenario;
  // Every option takes a value.
  std::vector<Flag> flags = OptionFlags(options);
  flags.insert(flags.end(), {{"--before-library", &plan.beforeLibrary, nullptr},
                             {"--before-label", &plan.beforeLabel, nullptr},
                             {"--markdown", &plan.markdown, nullptr},
                             {"--plot-data", &plan.plotData, nullptr},
                             {"--before-win32-directory", &plan.beforeWin32Directory, nullptr},
                             {"--only", &plan.only, nullptr},
                             {"--libraries", &plan.libraries, nullptr},
                             {"--hostile-repeats", nullptr, &plan.hostileRepeats},
                             {"--scenario", &scenario, nullptr}});
  for (int i = 1; i < argc; i += 2) {
    const auto flag = std::find_if(flags.begin(), flags.end(), [&](const Flag& f) {
      return std::strcmp(f.name, argv[i]) == 0;
    });
    if (flag == flags.end() || i + 1 >= argc) return Usage();
    if (flag->text != nullptr) *flag->text = argv[i + 1];
    if (flag->number != nullptr) *flag->number = std::atoi(argv[i + 1]);
  }
  if (options.repeats < 1 || options.repeats > 50 || options.basePort < 1024 ||
      options.basePort > 65535 - kPortSpan || options.churnSeconds < 0 ||
      options.churnDevelopers < 100 || options.churnDevelopers > 10000 ||
      options.churnDevelopers % 100 != 0 || options.hostilePort < 1024 ||
      options.hostilePort > 65535 - 10 * kHostilePortBlocks ||
      (plan.libraries != "both" && plan.libraries != "before") || plan.hostileRepeats < 1 ||
      plan.hostileRepeats > 20) {
    return Usage();
  }
  if (scenario.empty()) return Orchestrate(options, plan);

  const int code = RunOne(scenario, options);
  // The consoles' threads never end; leave without running destructors beside them.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
