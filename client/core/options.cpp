// The command line of quillaret-attach.
#include "client/core/options.h"

#include <cstdio>
#include <cstdlib>

#include "client/core/parsing.h"
#include "client/core/platform.h"
#include "platform/profile_reader.h"

namespace qc::attach {
namespace {

// One of the options that take seconds: its name, its bounds and where it goes.
struct SecondsOption {
  const char* name;
  int lowestMillis;
  int highestMillis;
  int Options::*field;
};

constexpr SecondsOption kSecondsOptions[] = {
    // A quiet time beyond 10 s is no quiet time; the bound also turns an old "--wait 500"
    // (milliseconds, before the option took seconds) into a clear error.
    {"--wait", 1, 10000, &Options::waitMillis},
    {"--connect-timeout", 1, 600000, &Options::connectMillis},
    {"--echo-timeout", 1, 3600000, &Options::echoMillis},
    {"--retry", 0, 86400000, &Options::retryMillis},
};

}  // namespace

bool Options::ManyObjects() const {
  if (all || objects.size() > 1) return true;
  return !objects.empty() && IsPattern(objects.front());
}

bool ParseSeconds(const std::string& text, int lowest, int highest, int& millis) {
  std::string number = text;
  long long scale = 1000;  // thousandths of a millisecond per unit written
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
    number.resize(number.size() - 2);
    scale = 1;
  } else if (number.size() > 1 && number.back() == 's') {
    number.pop_back();
  }
  if (number.empty() || number.size() > 12) return false;
  long long whole = 0;
  long long fraction = 0;  // in thousandths
  long long fractionScale = 1000;
  bool point = false;
  bool digits = false;
  for (const char c : number) {
    if (c == '.' && !point && scale == 1000) {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    digits = true;
    if (!point) {
      whole = whole * 10 + (c - '0');
    } else if (fractionScale > 1) {
      fractionScale /= 10;
      fraction += (c - '0') * fractionScale;
    }
  }
  if (!digits) return false;
  const long long result = whole * scale + (scale == 1000 ? fraction : 0);
  if (result < lowest || result > highest) return false;
  millis = static_cast<int>(result);
  return true;
}

bool IsPattern(const std::string& object) {
  return object.find_first_of("*?[") != std::string::npos;
}

bool MatchPattern(const std::string& pattern, const std::string& name) {
  // Backtracking over the last '*' only: linear in practice, and never recursive.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::string::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    bool step = false;
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        starP = p++;
        starN = n;
        continue;
      }
      if (c == '?') {
        step = true;
        ++p;
      } else if (c == '[') {
        std::size_t q = p + 1;
        const bool negate = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
        if (negate) ++q;
        bool found = false;
        bool closed = false;
        for (bool first = true; q < pattern.size(); first = false) {
          if (pattern[q] == ']' && !first) {
            closed = true;
            break;
          }
          const auto low = static_cast<unsigned char>(pattern[q]);
          auto high = low;
          if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
            high = static_cast<unsigned char>(pattern[q + 2]);
            q += 2;
          }
          const auto byte = static_cast<unsigned char>(name[n]);
          if (byte >= low && byte <= high) found = true;
          ++q;
        }
        if (closed) {
          step = found != negate;
          if (step) p = q + 1;
        } else {
          step = name[n] == '[';  // an unclosed bracket is itself
          if (step) ++p;
        }
      } else {
        step = c == name[n];
        if (step) ++p;
      }
    }
    if (step) {
      ++n;
      continue;
    }
    if (starP == std::string::npos) return false;
    p = starP + 1;
    n = ++starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error,
                  const std::string& hostVariable, const std::string& basePortVariable) {
  bool hostGiven = false;
  bool basePortGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Options that take a value: "--wait 0.5" or "--wait=0.5".
    std::string name = arg;
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      name = arg.substr(0, arg.find('='));
      value = arg.substr(arg.find('=') + 1);
      hasValue = true;
    }
    auto takeValue = [&]() {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    const SecondsOption* seconds = nullptr;
    for (const SecondsOption& option : kSecondsOptions) {
      if (name == option.name) seconds = &option;
    }
    if (seconds != nullptr) {
      if (!takeValue()) return false;
      if (!ParseSeconds(value, seconds->lowestMillis, seconds->highestMillis,
                        options.*(seconds->field))) {
        char range[96];
        std::snprintf(range, sizeof range, "seconds from %g to %g (or a count of ms, \"300ms\")",
                      seconds->lowestMillis / 1000.0, seconds->highestMillis / 1000.0);
        error = name + " needs " + range + ", not \"" + value + "\"";
        return false;
      }
    } else if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "--version") {
      options.version = true;
    } else if (name == "--list") {
      options.list = true;
    } else if (name == "--all") {
      options.all = true;
    } else if (name == "--echo") {
      options.echo = true;
    } else if (name == "--stop-on-error") {
      options.stopOnError = true;
    } else if (name == "--fail-on-error") {
      options.failOnError = true;
    } else if (name == "--host") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--host needs a host name or address";
        return false;
      }
      options.host = value;
      hostGiven = true;
    } else if (name == "--base-port") {
      if (!takeValue()) return false;
      if (!ParseCount(value, 1, 65535, options.basePort)) {
        error = "--base-port needs a port from 1 to 65535, not \"" + value + "\"";
        return false;
      }
      basePortGiven = true;
    } else if (name == "--log") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--log needs a file name";
        return false;
      }
      options.log = value;
    } else if (name == "-c") {
      if (!takeValue()) return false;
      options.lines.push_back(value);
    } else if (name == "-f") {
      if (!takeValue()) return false;
      if (!options.file.empty()) {
        error = "-f may be given once";
        return false;
      }
      options.file = value;
    } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      error = "unknown option " + arg;
      return false;
    } else {
      options.objects.push_back(arg);  // "-1" is a GoID as the console prints it
    }
  }
  if (options.help || options.version) return true;
  if (!hostGiven && !hostVariable.empty()) options.host = hostVariable;
  if (!basePortGiven && !basePortVariable.empty() &&
      !ParseCount(basePortVariable, 1, 65535, options.basePort)) {
    error = "QUILLARET_BASE_PORT needs a port from 1 to 65535, not \"" + basePortVariable + "\"";
    return false;
  }
  if (options.list && (!options.objects.empty() || options.all)) {
    error = "--list takes no OBJECT";
    return false;
  }
  if (!options.list && options.objects.empty() && !options.all) {
    error = "which console? Name an OBJECT: a template name, a GoID, :PORT, a pattern, or --all";
    return false;
  }
  if (!options.lines.empty() && !options.file.empty()) {
    error = "-c and -f cannot be combined";
    return false;
  }
  if (options.stopOnError && options.failOnError) {
    error = "--stop-on-error and --fail-on-error cannot be combined";
    return false;
  }
  return true;
}

std::string UsageText() {
  return "Usage: quillaret-attach [OPTION]... OBJECT...\n"
         "       quillaret-attach [OPTION]... --all\n"
         "       quillaret-attach [--host H] [--base-port P] --list\n"
         "Attaches to the development consoles of game objects. An OBJECT is a template name,\n"
         "a GoID, :PORT, or a pattern over template names ('goblin*', 'g?blin', '[a-c]*').\n"
         "\n"
         "  --host H               the game's machine (default: QUILLARET_HOST, else 127.0.0.1)\n"
         "  --base-port P          the first console's port (default: QUILLARET_BASE_PORT, else\n"
         "                         BasePort of quillaret_console.ini in this folder, on Windows\n"
         "                         else the one in the Windows directory (C:\\Windows), else\n"
         "                         30000)\n"
         "  --all                  every console of the game\n"
         "  --list                 print the game's consoles as a table\n"
         "  -c LINE                run LINE (repeatable) and print the answers\n"
         "  -f FILE                run the lines of FILE (\"-\": standard input)\n"
         "  --echo                 in scripts, print each line sent too\n"
         "  --stop-on-error        in scripts, stop at the first QC_ERROR: answer (exit 2)\n"
         "  --fail-on-error        in scripts, run every line, then exit 2 if any answer\n"
         "                         was a QC_ERROR: line\n"
         "  --log FILE             append the session to FILE, each line with its date\n"
         "Times are in seconds (0.5, 2) or milliseconds (300ms):\n"
         "  --wait S               in scripts, the quiet time that ends a line's answers (0.3)\n"
         "  --echo-timeout S       in scripts, how long a line's echo may take (10)\n"
         "  --connect-timeout S    how long a connect may take (2); the console's replies\n"
         "                         may take that long too, and at least 5\n"
         "  --retry S              wait up to S for the first attach: for the game to start\n"
         "                         and the object to appear (default 0: no wait)\n"
         "  --version              print the version\n"
         "\n"
         "Without -c or -f, lines come from standard input when it is not a terminal; on a\n"
         "terminal the session is interactive: line editing, history and Tab, Ctrl-D or :quit\n"
         "to leave; with several objects :to NAME picks where lines go and :all LINE sends one\n"
         "to all. In scripts each line runs on every object, answers marked with its name.\n"
         "The password is taken from QUILLARET_PASSWORD or asked for.\n"
         "Exit status: 0 done; 1 no console reached, connection lost, password refused, or no\n"
         "echo of a line in time; 2 an error answer with --stop-on-error or --fail-on-error;\n"
         "3 unknown or ambiguous OBJECT; 4 wrong command line or unreadable -f FILE;\n"
         "130 Ctrl-C in a script.\n";
}

std::string VersionText() { return "quillaret-attach 0.1\n"; }

int BasePortFromProfile(const std::string& profileText, int fallback) {
  char value[64];  // the console library reads integer keys into a buffer of this size too
  if (!FindProfileValue(profileText.data(), profileText.size(), "QCServer", "BasePort", value,
                        sizeof value)) {
    return fallback;
  }
  return ParseProfileInt(value, fallback);
}

int ProfileBasePort(bool* found) {
  if (found != nullptr) *found = true;
  for (const std::string& path : {std::string("quillaret_console.ini"), SystemProfilePath()}) {
    std::string text;
    if (!path.empty() && ReadWholeFile(path, text))
      return BasePortFromProfile(text, kDefaultBasePort);
  }
  if (found != nullptr) *found = false;
  return kDefaultBasePort;
}

}  // namespace qc::attach
