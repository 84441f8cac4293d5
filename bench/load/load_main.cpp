// qc_host_load: the end-to-end load program. It is a game host: it loads the console library by
// its exported names and drives it over loopback. Every scenario runs in a child process of its
// own and sets each figure beside a baseline measured in the same process; this program collects
// the figures, takes the median over the repeats, and prints one line per figure with its ratio
// to the baseline (and a markdown table when asked).
//
//   qc_host_load [--library PATH] [--repeats N] [--base-port PORT] [--markdown FILE]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

using Figures = std::map<std::string, std::vector<double>>;

// Runs this program again as "--scenario name" and gathers the figures it prints. The child is
// killed when it has not finished within millis. False when it failed or was killed.
bool RunScenario(const std::string& name, const Options& options, int millis, Figures& figures) {
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
    if (word == "figure" && lines >> figure >> value) figures[figure].push_back(value);
  }
  if (killed) std::fprintf(stderr, "qc_host_load: scenario %s ran out of time\n", name.c_str());
  return !killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Row {
  const char* figure;
  const char* libraryKey;
  const char* baselineKey;
  const char* baselineName;
  const char* unit;
  double scale;   // from the reported unit to the printed one
  double target;  // the most the ratio may be; 0 for none
};

const Row kRows[] = {
    {"echo round trip p50", "echo.library.p50", "echo.sameshape.p50", "same-shape stand-in", "us",
     1e-3, 1.2},
    {"echo round trip p50", "echo.library.p50", "echo.plain.p50", "plain blocking echo", "us",
     1e-3, 0},
    {"echo round trip p99", "echo.library.p99", "echo.sameshape.p99", "same-shape stand-in", "us",
     1e-3, 0},
    {"echo round trip p99", "echo.library.p99", "echo.plain.p99", "plain blocking echo", "us",
     1e-3, 0},
    {"fan-out per client-send", "fanout.library.ns", "fanout.plain.ns", "plain send loop", "ns", 1,
     1.3},
    {"spawn 100 consoles: time", "spawn.library.ms", "spawn.idle.ms", "10,100 idle threads", "ms",
     1, 1.5},
    {"spawn 100 consoles: resident memory", "spawn.library.rss_kib", "spawn.idle.rss_kib",
     "10,100 idle threads", "MiB", 1.0 / 1024, 1.5},
    {"spawn 100 consoles: threads", "spawn.library.threads", "spawn.idle.threads",
     "10,100 idle threads", "", 1, 0},
    {"frame cost, 100 consoles polled", "frame.library.ns", "frame.bare.ns", "bare lookup loop",
     "us", 1e-3, 2.0},
};

std::string Amount(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f %s" : "%.2f %s", value, unit);
  std::string amount(text);
  while (!amount.empty() && amount.back() == ' ') amount.pop_back();
  return amount;
}

// Prints one line per figure; writes the markdown table too when markdown is not empty.
// Returns the number of targets missed.
int Summarise(const Figures& figures, const Options& options, const std::string& markdown) {
  std::ostringstream table;
  table << "| Figure | Library | Baseline | Ratio | Target |\n|---|---|---|---|---|\n";
  int missed = 0;
  for (const Row& row : kRows) {
    const auto library = figures.find(row.libraryKey);
    const auto baseline = figures.find(row.baselineKey);
    if (library == figures.end() || baseline == figures.end()) continue;
    const double mine = Median(library->second) * row.scale;
    const double theirs = Median(baseline->second) * row.scale;
    const double ratio = theirs > 0 ? mine / theirs : 0;
    std::string verdict = "-";
    if (row.target > 0) {
      const bool met = ratio <= row.target;
      if (!met) ++missed;
      char text[64];
      std::snprintf(text, sizeof text, "<= %.1fx %s", row.target, met ? "met" : "MISSED");
      verdict = text;
    }
    std::printf("%-36s library %-11s %-20s %-11s ratio %5.2f  %s\n", row.figure,
                Amount(mine, row.unit).c_str(), row.baselineName, Amount(theirs, row.unit).c_str(),
                ratio, verdict.c_str());
    table << "| " << row.figure << " | " << Amount(mine, row.unit) << " | "
          << Amount(theirs, row.unit) << " (" << row.baselineName << ") | ";
    char ratioText[32];
    std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
    table << ratioText << " | " << verdict << " |\n";
  }
  std::printf("(medians of %d repeats)\n", options.repeats);
  if (!markdown.empty()) {
    std::ofstream file(markdown, std::ios::binary);
    file << table.str();
  }
  return missed;
}

int Orchestrate(const Options& options, const std::string& markdown) {
  Figures figures;
  bool ok = RunScenario("echo", options, 120000, figures);
  ok = RunScenario("fanout", options, 90000, figures) && ok;
  // A spawn happens once per process, so each repeat is a process of its own.
  for (int i = 0; i < options.repeats; ++i) {
    ok = RunScenario("spawn", options, 90000, figures) && ok;
    ok = RunScenario("idle-threads", options, 90000, figures) && ok;
  }
  const int missed = Summarise(figures, options, markdown);
  if (!ok) {
    std::fprintf(stderr, "qc_host_load: a scenario failed; its figures are missing\n");
    return 1;
  }
  if (missed > 0) std::printf("%d target(s) missed\n", missed);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: qc_host_load [--library PATH] [--repeats N (>= 1)] [--base-port PORT]\n"
               "                    [--markdown FILE]\n");
  return 2;
}

}  // namespace
}  // namespace qc::load

int main(int argc, char** argv) {
  using namespace qc::load;
  Options options;
  options.library = QC_LIBRARY_PATH;
  std::string scenario, markdown;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--library" && hasValue) {
      options.library = argv[++i];
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
  if (scenario.empty()) return Orchestrate(options, markdown);

  int code = 2;
  if (scenario == "echo") code = RunEchoScenario(options);
  if (scenario == "fanout") code = RunFanOutScenario(options);
  if (scenario == "spawn") code = RunSpawnScenario(options);
  if (scenario == "idle-threads") code = RunIdleThreadsScenario(options);
  // The consoles' threads never end; leave without running destructors beside them.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
