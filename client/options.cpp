// The command line of quillaret-attach.
#include "client/options.h"

#include <cstdio>
#include <cstdlib>

#include "platform/profile_reader.h"

namespace qc::attach {
namespace {

bool ParseCount(const std::string& text, int lowest, int highest, int& value) {
  if (text.empty() || text.size() > 9) return false;
  int result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result < lowest || result > highest) return false;
  value = result;
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // Options that take a value: "--wait 500" or "--wait=500".
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
    if (name == "-h" || name == "--help") {
      options.help = true;
    } else if (name == "--list") {
      options.list = true;
    } else if (name == "--echo") {
      options.echo = true;
    } else if (name == "--stop-on-error") {
      options.stopOnError = true;
    } else if (name == "--host") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--host needs a host name or address";
        return false;
      }
      options.host = value;
    } else if (name == "--base-port") {
      if (!takeValue()) return false;
      if (!ParseCount(value, 1, 65535, options.basePort)) {
        error = "--base-port needs a port from 1 to 65535, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--wait") {
      if (!takeValue()) return false;
      if (!ParseCount(value, 1, 600000, options.waitMillis)) {
        error = "--wait needs milliseconds from 1 to 600000, not \"" + value + "\"";
        return false;
      }
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
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (!options.object.empty()) {
      error = "one OBJECT only (\"" + options.object + "\", then \"" + arg + "\")";
      return false;
    } else {
      options.object = arg;
    }
  }
  if (options.help) return true;
  if (options.list && !options.object.empty()) {
    error = "--list takes no OBJECT";
    return false;
  }
  if (!options.list && options.object.empty()) {
    error = "which console? Name an OBJECT: a template name, a GoID or :PORT";
    return false;
  }
  if (!options.lines.empty() && !options.file.empty()) {
    error = "-c and -f cannot be combined";
    return false;
  }
  return true;
}

std::string UsageText() {
  return "Usage: quillaret-attach [OPTION]... OBJECT\n"
         "       quillaret-attach [--host H] [--base-port P] --list\n"
         "Attaches to the development console of one game object. OBJECT is a template name,\n"
         "a GoID, or :PORT. Names and GoIDs are looked up with [spawns] on the game's consoles.\n"
         "\n"
         "  --host H         the game's machine (default 127.0.0.1)\n"
         "  --base-port P    the first console's port (default: BasePort of\n"
         "                   quillaret_console.ini in this folder, else 30000)\n"
         "  --list           print the game's consoles as a table\n"
         "  -c LINE          run LINE (repeatable) and print the answers\n"
         "  -f FILE          run the lines of FILE (\"-\": standard input)\n"
         "  --wait MS        in scripts, the quiet time that ends a line's answers (300)\n"
         "  --echo           in scripts, print each line sent too\n"
         "  --stop-on-error  in scripts, stop at the first QC_ERROR: answer (exit 2)\n"
         "\n"
         "Without -c or -f, lines come from standard input when it is not a terminal; on a\n"
         "terminal the session is interactive: line editing and history, Ctrl-D or :quit to\n"
         "leave. The password is taken from QUILLARET_PASSWORD or asked for.\n"
         "Exit status: 0 done, 1 no console reached or connection lost, 2 an error answer\n"
         "with --stop-on-error, 3 unknown or ambiguous OBJECT, 4 wrong command line.\n";
}

int BasePortFromProfile(const std::string& profileText, int fallback) {
  char value[64];  // the console library reads integer keys into a buffer of this size too
  if (!FindProfileValue(profileText.data(), profileText.size(), "QCServer", "BasePort", value,
                        sizeof value)) {
    return fallback;
  }
  return ParseProfileInt(value, fallback);
}

}  // namespace qc::attach
