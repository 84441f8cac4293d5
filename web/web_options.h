// quillaret-web's command line: where the page is served, and where the game's consoles are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qc::web {

constexpr int kExitOk = 0;
constexpr int kExitCannotServe = 1;  // the address could not be listened on
constexpr int kExitUsage = 4;        // the command line is wrong (as quillaret-attach's)

struct WebOptions {
  std::string host = "127.0.0.1";           // the game's machine, as quillaret-attach's --host
  int basePort = -1;                        // -1: not given (the profile's BasePort, else 30000)
  std::string listenAddress = "127.0.0.1";  // a dotted quad; loopback unless one is given
  bool addressGiven = false;
  std::uint16_t listenPort = 0;  // 0: one the system picks
  bool help = false;
  bool version = false;
};

// Parses the arguments (without the program's name): [--host H] [--base-port P]
// [ADDRESS:]PORT. hostVariable and basePortVariable (QUILLARET_HOST, QUILLARET_BASE_PORT) count
// where the options are not given, as for quillaret-attach. False with a message on a wrong
// one.
bool ParseWebOptions(const std::vector<std::string>& args, WebOptions& options, std::string& error,
                     const std::string& hostVariable = "",
                     const std::string& basePortVariable = "");
std::string WebUsageText();
// "quillaret-web VERSION" and a line end.
std::string WebVersionText();

// BasePort: --base-port, else the profile beside the game (the current folder, and on Windows
// the Windows directory), else 30000; as quillaret-attach finds it.
int BasePortOf(const WebOptions& options);

// Whether text is a dotted quad (four numbers from 0 to 255).
bool IsDottedQuad(const std::string& text);

}  // namespace qc::web
