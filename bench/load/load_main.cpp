// qc_host_load: the end-to-end load program. It is a game host: it loads the console library by
// its exported names and drives it over loopback. Every scenario runs in a child process of its
// own and sets each figure beside a baseline measured in the same process; this program collects
// the figures, takes the median (or for worst-case figures the largest) over the repeats, and
// prints one line per figure with its ratio to the baseline (and a markdown table when asked).
// With --before-library, each spawn repeat also runs against an earlier build of the library,
// whose figures stand beside the current ones.
//
//   qc_host_load [--library PATH] [--before-library PATH [--before-label TEXT]] [--repeats N]
//                [--base-port PORT] [--markdown FILE]
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
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

using Figures = std::map<std::string, std::vector<double>>;

// Runs this program again as "--scenario name" and gathers the figures it prints. The child is
// killed when it has not finished within millis. False when it failed or was killed. With
// asBefore, figures named "<scenario>.library.<what>" are kept as "<scenario>.before.<what>".
bool RunScenario(const std::string& name, const Options& options, int millis, Figures& figures,
                 bool asBefore = false) {
  int out[2];
  if (pipe(out) != 0) return false;
  const std::string repeats = std::to_string(options.repeats);
  const std::string basePort = std::to_string(options.basePort);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    const char* argv[] = {"qc_host_load", "--scenario", name.c_str(), "--library",
                          options.library.c_str(), "--repeats", repeats.c_str(), "--base-port",
                          basePort.c_str(), nullptr};
    execv("/proc/self/exe", const_cast<char* const*>(argv));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * 1000000;
  bool killed = false;
  for (;;) {
    const std::int64_t left = (deadline - NowNanos()) / 1000000;
    if (left <= 0) {
      kill(child, SIGKILL);
      killed = true;
      break;
    }
    pollfd entry{out[0], POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  std::istringstream lines(text);
  std::string word, figure;
  double value = 0;
  while (lines >> word) {
    if (word != "figure" || !(lines >> figure >> value)) continue;
    const std::size_t library = figure.find(".library.");
    if (asBefore && library != std::string::npos) figure.replace(library, 9, ".before.");
    figures[figure].push_back(value);
  }
  if (killed) std::fprintf(stderr, "qc_host_load: scenario %s ran out of time\n", name.c_str());
  return !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Check {
  kNone,
  kRatio,  // the ratio to the baseline may be at most the target
  kValue,  // the figure itself may be at most the target
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

const Row kFixedRows[] = {
    {"echo round trip p50", "echo.library.p50", "echo.sameshape.p50", "same-shape stand-in", "us",
     1e-3, Check::kRatio, 1.2, false},
    {"echo round trip p50", "echo.library.p50", "echo.plain.p50", "plain blocking echo", "us",
     1e-3, Check::kNone, 0, false},
    {"echo round trip p99", "echo.library.p99", "echo.sameshape.p99", "same-shape stand-in", "us",
     1e-3, Check::kNone, 0, false},
    {"echo round trip p99", "echo.library.p99", "echo.plain.p99", "plain blocking echo", "us",
     1e-3, Check::kNone, 0, false},
    {"fan-out per client-send", "fanout.library.ns", "fanout.plain.ns", "plain send loop", "ns", 1,
     Check::kRatio, 1.3, false},
    {"spawn 100 consoles: time", "spawn.library.ms", "spawn.before.ms", kBefore, "ms", 1,
     Check::kRatio, 0.2, false},
    {"spawn 100 consoles: threads", "spawn.library.threads", "spawn.before.threads", kBefore, "", 1,
     Check::kRatio, 0.1, false},
    {"spawn 100 consoles: resident memory", "spawn.library.rss_kib", "spawn.before.rss_kib",
     kBefore, "MiB", 1.0 / 1024, Check::kNone, 0, false},
    {"spawn 100 consoles: time until every port listens", "spawn.library.listen_ms",
     "spawn.before.listen_ms", kBefore, "ms", 1, Check::kNone, 0, false},
    {"spawn 100 consoles: time", "spawn.library.ms", "spawn.idle.ms", "10,100 idle threads", "ms",
     1, Check::kRatio, 1.5, false},
    {"spawn 100 consoles: resident memory", "spawn.library.rss_kib", "spawn.idle.rss_kib",
     "10,100 idle threads", "MiB", 1.0 / 1024, Check::kRatio, 1.5, false},
    {"spawn 100 consoles: threads", "spawn.library.threads", "spawn.idle.threads",
     "10,100 idle threads", "", 1, Check::kNone, 0, false},
    {"frame cost, 100 consoles polled", "frame.library.ns", "frame.bare.ns", "bare lookup loop",
     "us", 1e-3, Check::kRatio, 2.0, false},
};

// The fixed rows, then the same rows of the stuck-client scenario for each send limit.
std::vector<Row> AllRows() {
  static std::deque<std::string> texts;  // the stuck rows' texts, kept for the program's life
  const auto keep = [](std::string text) { return texts.emplace_back(std::move(text)).c_str(); };
  std::vector<Row> rows(std::begin(kFixedRows), std::end(kFixedRows));
  const struct {
    const char* what;
    const char* key;
    bool againstLimit;
    const char* unit;
    Check check;
    bool worst;
  } kinds[] = {
      {"longest BroadcastMsg (worst run)", "longest_broadcast_ms", true, "ms", Check::kRatio, true},
      {"longest GetNextMessage (worst run)", "longest_poll_ms", true, "ms", Check::kRatio, true},
      {"longest host call after that (worst run)", "longest_after_ms", false, "ms", Check::kNone,
       true},
      {"host calls over 10 ms (worst run)", "slow_calls", false, "", Check::kNone, true},
      {"its notice, after the dropping call began", "notice_ms", false, "ms", Check::kNone, false},
      {"readers missing a line (worst run)", "readers_missing_lines", false, "", Check::kValue,
       true},
  };
  for (const char* limit : {"500", "2000"}) {
    const std::string scenario = std::string("stuck.") + limit + ".";
    for (const auto& kind : kinds) {
      const char* figure =
          keep(std::string("stuck client, SendTimeoutVal ") + limit + ": " + kind.what);
      const char* baseline = kind.againstLimit ? keep(scenario + "limit_ms") : nullptr;
      rows.push_back({figure, keep(scenario + kind.key), baseline,
                      kind.againstLimit ? "SendTimeoutVal" : nullptr, kind.unit, 1, kind.check,
                      kind.check == Check::kRatio ? 1.1 : 0, kind.worst});
    }
  }
  return rows;
}

std::string Amount(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, value >= 100 || unit[0] == '\0' ? "%.0f %s" : "%.2f %s",
                value, unit);
  std::string amount(text);
  while (!amount.empty() && amount.back() == ' ') amount.pop_back();
  return amount;
}

double Aggregate(const std::vector<double>& values, bool worst) {
  return worst ? *std::max_element(values.begin(), values.end()) : Median(values);
}

// Prints one line per figure; writes the markdown table too when markdown is not empty.
// Returns the number of targets missed.
int Summarise(const Figures& figures, const Options& options, const std::string& beforeLabel,
              const std::string& markdown) {
  std::ostringstream table;
  table << "| Figure | Library | Baseline | Ratio | Target |\n|---|---|---|---|---|\n";
  int missed = 0;
  for (const Row& row : AllRows()) {
    const auto library = figures.find(row.libraryKey);
    if (library == figures.end()) continue;
    const auto baseline =
        row.baselineKey != nullptr ? figures.find(row.baselineKey) : figures.end();
    if (row.baselineKey != nullptr && baseline == figures.end()) continue;
    const bool hasBaseline = baseline != figures.end();
    const double mine = Aggregate(library->second, row.worst) * row.scale;
    const double theirs = hasBaseline ? Aggregate(baseline->second, row.worst) * row.scale : 0;
    const double ratio = theirs > 0 ? mine / theirs : 0;
    std::string verdict = "-";
    if (row.check != Check::kNone) {
      const bool met = (row.check == Check::kRatio ? ratio : mine) <= row.target;
      if (!met) ++missed;
      char text[64];
      if (row.check == Check::kRatio) {
        std::snprintf(text, sizeof text, "<= %.1fx %s", row.target, met ? "met" : "MISSED");
      } else {
        std::snprintf(text, sizeof text, "<= %s %s", Amount(row.target, row.unit).c_str(),
                      met ? "met" : "MISSED");
      }
      verdict = text;
    }
    std::string baselineName = "-";
    std::string baselineText = "-";
    std::string ratioText = "-";
    if (hasBaseline) {
      baselineName = std::strcmp(row.baselineName, kBefore) == 0 ? beforeLabel : row.baselineName;
      baselineText = Amount(theirs, row.unit) + " (" + baselineName + ")";
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", ratio);
      ratioText = text;
    }
    std::printf("%-72s %-10s %-34s ratio %5s  %s\n", row.figure, Amount(mine, row.unit).c_str(),
                baselineText.c_str(), ratioText.c_str(), verdict.c_str());
    table << "| " << row.figure << " | " << Amount(mine, row.unit) << " | " << baselineText
          << " | " << ratioText << " | " << verdict << " |\n";
  }
  std::printf("(medians of %d repeats, or the worst run where marked)\n", options.repeats);
  if (!markdown.empty()) {
    std::ofstream file(markdown, std::ios::binary);
    file << table.str();
  }
  return missed;
}

int Orchestrate(const Options& options, const std::string& beforeLibrary,
                const std::string& beforeLabel, const std::string& markdown) {
  Figures figures;
  bool ok = RunScenario("echo", options, 120000, figures);
  ok = RunScenario("fanout", options, 90000, figures) && ok;
  Options before = options;
  before.library = beforeLibrary;
  // A spawn happens once per process, so each repeat is a process of its own; so is each run of
  // a stuck client, since a console never stops. The kinds alternate within each repeat.
  for (int i = 0; i < options.repeats; ++i) {
    ok = RunScenario("spawn", options, 90000, figures) && ok;
    if (!beforeLibrary.empty()) ok = RunScenario("spawn", before, 90000, figures, true) && ok;
    ok = RunScenario("idle-threads", options, 90000, figures) && ok;
    ok = RunScenario("stuck-500", options, 90000, figures) && ok;
    ok = RunScenario("stuck-2000", options, 90000, figures) && ok;
  }
  const int missed = Summarise(figures, options, beforeLabel, markdown);
  if (!ok) {
    std::fprintf(stderr, "qc_host_load: a scenario failed; its figures are missing\n");
    return 1;
  }
  if (missed > 0) std::printf("%d target(s) missed\n", missed);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qc_host_load [--library PATH]\n"
               "                    [--before-library PATH [--before-label TEXT]]\n"
               "                    [--repeats N (>= 1)] [--base-port PORT] [--markdown FILE]\n");
  return 2;
}

}  // namespace
}  // namespace qc::load

int main(int argc, char** argv) {
  using namespace qc::load;
  Options options;
  options.library = QC_LIBRARY_PATH;
  std::string scenario, markdown, beforeLibrary, beforeLabel = "earlier build";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--library" && hasValue) {
      options.library = argv[++i];
    } else if (arg == "--before-library" && hasValue) {
      beforeLibrary = argv[++i];
    } else if (arg == "--before-label" && hasValue) {
      beforeLabel = argv[++i];
    } else if (arg == "--repeats" && hasValue) {
      options.repeats = std::atoi(argv[++i]);
    } else if (arg == "--base-port" && hasValue) {
      options.basePort = std::atoi(argv[++i]);
    } else if (arg == "--markdown" && hasValue) {
      markdown = argv[++i];
    } else if (arg == "--scenario" && hasValue) {
      scenario = argv[++i];
    } else {
      return Usage();
    }
  }
  if (options.repeats < 1 || options.repeats > 50 || options.basePort < 1024 ||
      options.basePort > 65535 - 300) {
    return Usage();
  }
  if (scenario.empty()) return Orchestrate(options, beforeLibrary, beforeLabel, markdown);

  int code = 2;
  if (scenario == "echo") code = RunEchoScenario(options);
  if (scenario == "fanout") code = RunFanOutScenario(options);
  if (scenario == "spawn") code = RunSpawnScenario(options);
  if (scenario == "idle-threads") code = RunIdleThreadsScenario(options);
  if (scenario == "stuck-500") code = RunStuckScenario(options, 500);
  if (scenario == "stuck-2000") code = RunStuckScenario(options, 2000);
  // The consoles' threads never end; leave without running destructors beside them.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
