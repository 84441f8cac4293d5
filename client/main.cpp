// quillaret-attach: the console client. Finds objects' consoles by name, then runs an
// interactive session on a terminal, or a script of lines (-c, -f, or standard input).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/history.h"
#include "client/core/line_edit.h"
#include "client/core/lookup.h"
#include "client/core/options.h"
#include "client/core/platform.h"
#include "client/core/script.h"
#include "client/core/session.h"
#include "client/core/session_log.h"
#include "client/core/word_store.h"

namespace {

using namespace qc::attach;

constexpr const char* kProgram = "quillaret-attach";

// BasePort as given, else the profile's; says so on standard error when neither gave it and
// it matters (an object named otherwise than by ":PORT"), since a game whose profile is
// elsewhere is then looked for in the wrong place.
int BasePortOf(const Options& options) {
  if (options.basePort >= 0) return options.basePort;
  bool found = true;
  const int basePort = ProfileBasePort(&found);
  const bool byPortAlone =
      !options.list && !options.all &&
      std::all_of(options.objects.begin(), options.objects.end(),
                  [](const std::string& object) { return PortOfObject(object) != 0; });
  if (!found && !byPortAlone) {
    std::fprintf(stderr,
                 "%s: no quillaret_console.ini found here, so BasePort is the default %d "
                 "(--base-port or QUILLARET_BASE_PORT sets it)\n",
                 kProgram, basePort);
  }
  return basePort;
}

// "port 30000", "ports 30001 and 30000", "ports 30002, 30001 and 30000".
std::string PortsText(const std::vector<std::uint16_t>& ports) {
  std::string text = ports.size() == 1 ? "port " : "ports ";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) text += i + 1 == ports.size() ? " and " : ", ";
    text += std::to_string(ports[i]);
  }
  return text;
}

void PrintTable(std::FILE* to, const std::vector<SpawnRow>& rows) {
  std::fputs(FormatConsoleTable(rows).c_str(), to);
}

// Says why attaching to object failed; the exit status.
int ReportFailure(OpenResult result, const Options& options, int basePort,
                  const std::string& failedObject, const std::vector<SpawnRow>& rows,
                  const std::vector<std::uint16_t>& unanswered) {
  const std::string object = EscapeControlBytes(failedObject);
  switch (result) {
    case OpenResult::kNotFound:
      std::fprintf(stderr, "%s: no console of %s; the game's consoles:\n", kProgram,
                   object.c_str());
      PrintTable(stderr, rows);
      return kExitNoSuchObject;
    case OpenResult::kAmbiguous:
      std::fprintf(stderr, "%s: %s names several consoles; name one by its GoID or :PORT:\n",
                   kProgram, object.c_str());
      PrintTable(stderr, rows);
      return kExitNoSuchObject;
    case OpenResult::kUnreachable:
      if (PortOfObject(failedObject) != 0) {
        std::fprintf(stderr, "%s: no console answers on %s port %u\n", kProgram,
                     options.host.c_str(), unsigned{PortOfObject(failedObject)});
      } else if (!unanswered.empty()) {
        std::fprintf(stderr, "%s: no console answers on %s %s (BasePort %d)\n", kProgram,
                     options.host.c_str(), PortsText(unanswered).c_str(), basePort);
      } else {
        std::fprintf(stderr, "%s: no console answers on %s (BasePort %d)\n", kProgram,
                     options.host.c_str(), basePort);
      }
      return kExitUnreachable;
    case OpenResult::kPasswordRefused:
      std::fprintf(stderr, "%s: the console refused the password\n", kProgram);
      return kExitUnreachable;
    case OpenResult::kNoPassword:
      std::fprintf(stderr, "%s: the console asks for a password: set QUILLARET_PASSWORD\n",
                   kProgram);
      return kExitUnreachable;
    case OpenResult::kBroken:
      std::fprintf(stderr, "%s: the console on %s did not answer as a console does\n", kProgram,
                   options.host.c_str());
      return kExitUnreachable;
    case OpenResult::kOpen:
      break;
  }
  return kExitOk;
}

// Runs attach until it gives kOpen, something that waiting cannot mend, or --retry's time is
// up: the game may not be up yet (nothing answers, or it answers without the object), or may
// be starting (a console that closes at once). Says once on standard error that it waits.
OpenResult AttachWithRetry(const Options& options, const std::function<OpenResult()>& attach) {
  const std::int64_t deadline = NowMillis() + options.retryMillis;
  int pause = kFirstRetryMillis;
  bool said = false;
  for (;;) {
    const OpenResult result = attach();
    const bool waitable = result == OpenResult::kUnreachable || result == OpenResult::kNotFound ||
                          result == OpenResult::kBroken;
    const std::int64_t left = deadline - NowMillis();
    if (!waitable || left <= 0 || Interrupted()) return result;
    if (!said) {
      std::string what;
      for (const std::string& object : options.objects) what += (what.empty() ? "" : " ") + object;
      std::fprintf(stderr, "%s: waiting up to %g s for %s on %s\n", kProgram,
                   options.retryMillis / 1000.0,
                   options.all ? "the game's consoles" : EscapeControlBytes(what).c_str(),
                   options.host.c_str());
      std::fflush(stderr);
      said = true;
    }
    // A pause in slices, so that Ctrl-C ends it at once.
    const std::int64_t until = NowMillis() + std::min<std::int64_t>(pause, left);
    while (NowMillis() < until && !Interrupted()) PauseMillis(50);
    pause = std::min(pause * 2, 2000);
  }
}

// The script's lines: -c, the lines of -f FILE, or standard input, read as they come (so a
// program can feed lines and read the answers in turn).
bool MakeLineSource(const Options& options, LineSource& source) {
  if (!options.lines.empty() || (!options.file.empty() && options.file != "-")) {
    std::vector<std::string> lines = options.lines;
    if (lines.empty()) {
      std::string text;
      if (!ReadWholeFile(options.file, text)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, options.file.c_str());
        return false;
      }
      lines = SplitScript(text);
    }
    source = [lines, index = std::size_t{0}](std::string& line) mutable {
      if (index == lines.size()) return false;
      line = lines[index++];
      return true;
    };
    return true;
  }
  source = [](std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(stdin)) != EOF;) {
      if (c == '\n') return true;
      line += static_cast<char>(c);
    }
    return !line.empty();
  };
  return true;
}

std::string Label(const std::string& object, const Attached& attached,
                  const std::vector<ScriptTarget>& others) {
  if (!attached.ownKnown) return object;
  int sameName = 0;
  for (const ScriptTarget& other : others) {
    if (other.attached.ownKnown && other.attached.own.templateName == attached.own.templateName) {
      ++sameName;
    }
  }
  return sameName > 1 ? attached.own.templateName + "#" + std::to_string(attached.own.printedGoid)
                      : attached.own.templateName;
}

int RunScriptMode(const Options& options, int basePort, ConsoleFinder& finder, bool colour,
                  SessionLog& log) {
  LineSource lines;
  if (!MakeLineSource(options, lines)) return kExitUsage;
  std::vector<std::unique_ptr<ConsoleLink>> links;
  std::vector<ScriptTarget> targets;
  std::vector<std::string> objects;
  std::string failed;
  std::vector<SpawnRow> rows;
  const OpenResult result = AttachWithRetry(options, [&]() {
    for (auto& link : links) (void)LeaveConsole(*link, 1000, nullptr);
    links.clear();
    targets.clear();
    failed.clear();
    rows.clear();
    OpenResult selected = finder.Select(options.objects, options.all, objects, failed, rows);
    if (selected != OpenResult::kOpen) {
      if (failed.empty() && !options.objects.empty()) failed = options.objects.front();
      return selected;
    }
    for (const std::string& object : objects) {
      links.push_back(std::make_unique<ConsoleLink>());
      ScriptTarget target;
      target.label = object;
      target.link = links.back().get();
      const OpenResult attached = finder.Attach(object, *target.link, target.attached);
      if (attached != OpenResult::kOpen) {
        failed = object;
        rows = target.attached.rows;
        return attached;
      }
      targets.push_back(std::move(target));
    }
    return OpenResult::kOpen;
  });
  if (result != OpenResult::kOpen) {
    for (auto& link : links) (void)LeaveConsole(*link, 1000, nullptr);
    if (Interrupted()) return kExitInterrupted;
    return ReportFailure(result, options, basePort, failed, rows, finder.Unanswered());
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    targets[i].label = Label(objects[i], targets[i].attached, targets);
  }
  return RunScript(targets, lines, options, colour, stdout, stderr, log);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  std::string error;
  if (!ParseOptions(args, options, error, EnvironmentValue("QUILLARET_HOST"),
                    EnvironmentValue("QUILLARET_BASE_PORT"))) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), stdout);
    return kExitOk;
  }
  if (!StartNetwork()) {
    std::fprintf(stderr, "%s: the socket library did not start\n", kProgram);
    return kExitUnreachable;
  }
  if (!HostResolves(options.host)) {
    // Said before any attempt: no console can answer, however long --retry would wait.
    const bool fromEnvironment = EnvironmentValue("QUILLARET_HOST") == options.host;
    std::fprintf(stderr, "%s: the host %s (%s) cannot be resolved\n", kProgram,
                 EscapeControlBytes(options.host).c_str(),
                 fromEnvironment ? "QUILLARET_HOST" : "--host");
    return kExitUnreachable;
  }
  SessionLog log;
  if (!options.log.empty() && !log.Open(options.log)) {
    std::fprintf(stderr, "%s: cannot append to %s\n", kProgram, options.log.c_str());
    return kExitUsage;
  }
  std::string command = kProgram;
  for (const std::string& arg : args) command += " " + arg;
  log.Write(command);
  const int basePort = BasePortOf(options);
  const bool colour = IsTerminal(1) && EnvironmentValue("NO_COLOR").empty() && EnableColourOutput();
  const bool script = !options.lines.empty() || !options.file.empty() || !IsTerminal(0);
  if (script && options.lines.empty() && options.file.empty() && !options.list &&
      IsForeignTerminal(0)) {
    // A person typing in mintty: script mode would read their lines without a prompt or echo.
    std::fprintf(stderr, "%s: %s", kProgram, kNotAConsoleAdvice);
    return kExitUsage;
  }
  // Ctrl-C ends every wait, so that a slow attach or a script stops at once; the interactive
  // loop turns it into clearing the line afterwards.
  CatchInterrupt(true);

  PasswordSource password;
  password.password = EnvironmentValue("QUILLARET_PASSWORD");
  password.known = !password.password.empty();
  // A refused password is asked for again on a terminal only; a script has nobody to ask.
  password.askAgain = !script && !options.list;
  password.ask = [&password](std::string& secret) {
    return ReadSecret(password.refused ? "Wrong password. Password: " : "Password: ", secret);
  };

  LookupSettings settings;
  settings.host = options.host;
  settings.basePort = basePort;
  settings.stateFolder = UserStateFolder();
  settings.connectMillis = options.connectMillis;
  settings.replyMillis = options.ReplyMillis();
  ConsoleFinder finder(settings, password);

  if (options.list) {
    ConsoleLink link;
    Attached attached;
    const OpenResult result =
        AttachWithRetry(options, [&]() { return finder.List({}, link, attached); });
    if (result != OpenResult::kOpen) {
      if (Interrupted()) return kExitInterrupted;
      return ReportFailure(result, options, basePort, "", attached.rows, finder.Unanswered());
    }
    (void)LeaveConsole(link, options.ReplyMillis(), nullptr);
    PrintTable(stdout, attached.rows);
    return kExitOk;
  }
  if (script) return RunScriptMode(options, basePort, finder, colour, log);

  InteractiveSession session(options, finder, password, colour, log);
  const OpenResult result = AttachWithRetry(options, [&]() { return session.AttachFirst(); });
  if (result != OpenResult::kOpen) {
    if (Interrupted()) return kExitInterrupted;
    return ReportFailure(result, options, basePort, session.FailedObject(), session.FailedRows(),
                         finder.Unanswered());
  }
  ClearInterrupt();
  const std::string history = HistoryPath(UserStateFolder(), session.HistoryKey());
  session.UseWords(WordsPath(UserStateFolder(), session.HistoryKey()), history);
  return RunInteractive(session, history);
}
