// quillaret-attach: the console client. Finds an object's console by name, then runs an
// interactive session on a terminal, or a script of lines (-c, -f, or standard input).
#include <cstdio>
#include <string>
#include <vector>

#include "client/console_link.h"
#include "client/history.h"
#include "client/line_edit.h"
#include "client/options.h"
#include "client/platform.h"
#include "client/script.h"
#include "client/session.h"

namespace {

using namespace qc::attach;

constexpr const char* kProgram = "quillaret-attach";

int BasePortOf(const Options& options) {
  if (options.basePort >= 0) return options.basePort;
  // The profile the game reads: beside it in the current folder, and on Windows in the
  // Windows directory, where the console library looks for it.
  for (const std::string& path : {std::string("quillaret_console.ini"), SystemProfilePath()}) {
    std::string text;
    if (!path.empty() && ReadWholeFile(path, text)) return BasePortFromProfile(text, kDefaultBasePort);
  }
  return kDefaultBasePort;
}

void PrintTable(std::FILE* to, const std::vector<SpawnRow>& rows) {
  std::fputs(FormatConsoleTable(rows).c_str(), to);
}

// Says why attaching failed; the exit status.
int ReportFailure(OpenResult result, const Options& options, int basePort,
                  const Attached& attached) {
  const std::string object = EscapeControlBytes(options.object);
  switch (result) {
    case OpenResult::kNotFound:
      std::fprintf(stderr, "%s: no console of %s; the game's consoles:\n", kProgram, object.c_str());
      PrintTable(stderr, attached.rows);
      return kExitNoSuchObject;
    case OpenResult::kAmbiguous:
      std::fprintf(stderr, "%s: %s names several consoles; name one by its GoID or :PORT:\n",
                   kProgram, object.c_str());
      PrintTable(stderr, attached.rows);
      return kExitNoSuchObject;
    case OpenResult::kUnreachable:
      if (PortOfObject(options.object) != 0) {
        std::fprintf(stderr, "%s: no console answers on %s port %u\n", kProgram,
                     options.host.c_str(), unsigned{PortOfObject(options.object)});
      } else {
        std::fprintf(stderr, "%s: no console answers on %s ports %d to %d (BasePort %d)\n",
                     kProgram, options.host.c_str(), basePort, basePort + 99, basePort);
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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  std::string error;
  if (!ParseOptions(args, options, error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (!StartNetwork()) {
    std::fprintf(stderr, "%s: the socket library did not start\n", kProgram);
    return kExitUnreachable;
  }
  const int basePort = BasePortOf(options);
  const bool colour = IsTerminal(1) && EnvironmentValue("NO_COLOR").empty() && EnableColourOutput();

  PasswordSource password;
  password.password = EnvironmentValue("QUILLARET_PASSWORD");
  password.known = !password.password.empty();
  password.ask = [](std::string& secret) { return ReadSecret("Password: ", secret); };

  const bool script = !options.lines.empty() || !options.file.empty() || !IsTerminal(0);
  if (script && options.lines.empty() && options.file.empty() && !options.list &&
      IsForeignTerminal(0)) {
    // A person typing in mintty: script mode would read their lines without a prompt or echo.
    std::fprintf(stderr, "%s: %s", kProgram, kNotAConsoleAdvice);
    return kExitUsage;
  }
  if (options.list) {
    ConsoleLink link;
    Attached attached;
    const OpenResult result = OpenAnyConsole(options.host, basePort, password, link, attached);
    if (result != OpenResult::kOpen) return ReportFailure(result, options, basePort, attached);
    (void)LeaveConsole(link, kReplyMillis, nullptr);
    PrintTable(stdout, attached.rows);
    return kExitOk;
  }
  if (script) {
    LineSource lines;
    if (!MakeLineSource(options, lines)) return kExitUsage;
    ConsoleLink link;
    Attached attached;
    const OpenResult result =
        AttachTo(options.host, basePort, options.object, password, link, attached);
    if (result != OpenResult::kOpen) return ReportFailure(result, options, basePort, attached);
    return RunScript(link, attached, lines, options, colour, stdout, stderr);
  }

  InteractiveSession session(options, basePort, password, colour);
  const OpenResult result = session.AttachFirst();
  if (result != OpenResult::kOpen) {
    return ReportFailure(result, options, basePort, session.Current());
  }
  const std::string history = HistoryPath(UserStateFolder(), session.HistoryKey());
  return RunInteractive(session, history);
}
