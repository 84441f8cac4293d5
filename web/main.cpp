// quillaret-web: the game's consoles in a browser. Serves one page on 127.0.0.1 (or the
// ADDRESS given) with a token in its address, and attaches to the consoles as a TCP client.
#include <cstdio>
#include <string>
#include <vector>

#include "client/core/platform.h"
#include "web/server.h"

using namespace qc::web;

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  WebOptions options;
  std::string error;
  if (!ParseWebOptions(args, options, error, qc::attach::EnvironmentValue("QUILLARET_HOST"),
                       qc::attach::EnvironmentValue("QUILLARET_BASE_PORT"))) {
    std::fprintf(stderr, "quillaret-web: %s\nTry 'quillaret-web --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(WebUsageText().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(WebVersionText().c_str(), stdout);
    return kExitOk;
  }
  if (!qc::attach::StartNetwork()) {
    std::fprintf(stderr, "quillaret-web: the socket library did not start\n");
    return kExitCannotServe;
  }
  const std::string token = MakeToken();
  if (token.empty()) {
    std::fprintf(stderr, "quillaret-web: the system's random source cannot be read\n");
    return kExitCannotServe;
  }
  ConsoleSettings consoles;
  consoles.host = options.host;
  consoles.basePort = BasePortOf(options);
  SharedPassword password;
  const std::string fromEnvironment = qc::attach::EnvironmentValue("QUILLARET_PASSWORD");
  if (!fromEnvironment.empty()) password.Set(fromEnvironment, true);
  return RunServer(options, consoles, password, token);
}
