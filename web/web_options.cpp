// quillaret-web's command line.
#include "web/web_options.h"

#include "client/core/options.h"
#include "client/core/parsing.h"
#include "client/core/platform.h"

namespace qc::web {

using attach::ParseCount;

bool IsDottedQuad(const std::string& text) {
  std::size_t begin = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t end = part < 3 ? text.find('.', begin) : text.size();
    if (end == std::string::npos || end == begin || end - begin > 3) return false;
    int value = 0;
    if (!ParseCount(std::string_view(text).substr(begin, end - begin), 0, 255, value)) {
      return false;
    }
    begin = end + 1;
  }
  return true;
}

bool ParseWebOptions(const std::vector<std::string>& args, WebOptions& options, std::string& error,
                     const std::string& hostVariable, const std::string& basePortVariable) {
  bool listenGiven = false;
  bool hostGiven = false;
  bool basePortGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto takeValue = [&](std::string& value) {
      if (i + 1 >= args.size()) {
        error = "option " + arg + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    std::string value;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--host") {
      if (!takeValue(value)) return false;
      if (value.empty()) {
        error = "--host needs a host name or address";
        return false;
      }
      options.host = value;
      hostGiven = true;
    } else if (arg == "--base-port") {
      if (!takeValue(value)) return false;
      if (!ParseCount(value, 1, 65535, options.basePort)) {
        error = "--base-port needs a port from 1 to 65535, not \"" + value + "\"";
        return false;
      }
      basePortGiven = true;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (listenGiven) {
      error = "one [ADDRESS:]PORT only, not also \"" + arg + "\"";
      return false;
    } else {
      listenGiven = true;
      const std::size_t colon = arg.rfind(':');
      const std::string portText = colon == std::string::npos ? arg : arg.substr(colon + 1);
      if (colon != std::string::npos) {
        options.listenAddress = arg.substr(0, colon);
        options.addressGiven = true;
        if (options.listenAddress == "localhost") options.listenAddress = "127.0.0.1";
        if (!IsDottedQuad(options.listenAddress)) {
          error = "ADDRESS must be an IPv4 address such as 127.0.0.1 or 0.0.0.0, not \"" +
                  arg.substr(0, colon) + "\"";
          return false;
        }
      }
      int port = 0;
      if (!ParseCount(portText, 0, 65535, port)) {
        error = "PORT must be a number from 0 to 65535, not \"" + portText + "\"";
        return false;
      }
      options.listenPort = static_cast<std::uint16_t>(port);
    }
  }
  if (!hostGiven && !hostVariable.empty()) options.host = hostVariable;
  if (!basePortGiven && !basePortVariable.empty()) {
    if (!ParseCount(basePortVariable, 1, 65535, options.basePort)) {
      error = "QUILLARET_BASE_PORT needs a port from 1 to 65535, not \"" + basePortVariable + "\"";
      return false;
    }
  }
  if (!listenGiven && !options.help && !options.version) {
    error = "which port should the page be served on? ([ADDRESS:]PORT)";
    return false;
  }
  return true;
}

std::string WebUsageText() {
  return "Usage: quillaret-web [--host H] [--base-port P] [ADDRESS:]PORT\n"
         "Serves the game's consoles as one page in a browser: every console listed, any\n"
         "number of them open side by side.\n"
         "  [ADDRESS:]PORT   where the page is served; ADDRESS defaults to 127.0.0.1, so only\n"
         "                   this machine can open it (0.0.0.0: every address; anyone who can\n"
         "                   reach it and has the printed address runs script in the game);\n"
         "                   PORT 0 lets the system pick one\n"
         "  --host H         the game's machine (default: QUILLARET_HOST, else 127.0.0.1)\n"
         "  --base-port P    the first console's port (default: QUILLARET_BASE_PORT, else\n"
         "                   BasePort of quillaret_console.ini in the current folder (on\n"
         "                   Windows also the Windows directory), else 30000)\n"
         "  --version        print the version\n"
         "The console password, when one is asked for, comes from QUILLARET_PASSWORD, or the\n"
         "page asks for it. The address printed at start carries a token that changes at\n"
         "every start: the page is refused without it.\n";
}

std::string WebVersionText() { return std::string("quillaret-web ") + QC_VERSION + "\n"; }

int BasePortOf(const WebOptions& options) {
  return options.basePort >= 0 ? options.basePort : attach::ProfileBasePort();
}

}  // namespace qc::web
