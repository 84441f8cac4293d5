// quillaret-host: a stand-in game host. Loads the console library at run time, spawns a console
// for each game object, and answers what developers type there, about 30 frames a second,
// until Ctrl-C or SIGTERM.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "demo/base_port.h"
#include "demo/console_host.h"
#include "demo/host_options.h"
// The loader's definitions, compiled once for the program.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"

namespace {

constexpr auto kFrame = std::chrono::microseconds(1000000 / 30);
constexpr const char* kProgram = "quillaret-host";

// Set from the signal handler; a lock-free atomic is safe to store there.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be signal-safe");

extern "C" void RequestStop(int) { stopRequested.store(true); }

bool FileExists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// The library named on the command line; else the one next to this program; else the bare
// file name, which the platform's loader searches for (the installed program's run path
// names the package's lib/ folder).
std::string ChooseLibrary(const std::string& given) {
  if (!given.empty()) return given;
  const std::string nextToProgram =
      qc::loader::ProgramDirectory() + qc::loader::DefaultLibraryName();
  if (!qc::loader::ProgramDirectory().empty() && FileExists(nextToProgram)) return nextToProgram;
  return qc::loader::DefaultLibraryName();
}

struct Access {
  std::string address;  // where to attach
  bool password;
};

// Says which of the access keys are in effect: where the consoles listen, and whether they ask
// for a password (never shown).
Access PrintAccess(const std::string& profile) {
  const std::string bindAddress = qc::demo::ReadProfileText(profile, "BindAddress");
  const bool password = !qc::demo::ReadProfileText(profile, "Password").empty();
  std::cout << kProgram << ": consoles listen on "
            << (bindAddress.empty() ? "every IPv4 address (no BindAddress)"
                                    : bindAddress + " only (BindAddress)")
            << (password ? " and ask for a password first (Password)"
                         : " and ask for no password (no Password)")
            << std::endl;
  return {bindAddress.empty() || bindAddress == "0.0.0.0" ? "127.0.0.1" : bindAddress, password};
}

// The quillaret-attach command for each console: by template name, or by GoID where two
// objects share a name; the program beside this one when it is there.
void PrintAttachCommands(const std::vector<qc::demo::SpawnedObject>& objects,
                         const Access& access) {
  const std::string attachName = QC_ATTACH_PROGRAM;
  std::string program = qc::loader::ProgramDirectory() + attachName;
  if (qc::loader::ProgramDirectory().empty() || !FileExists(program)) program = attachName;
  std::string options;
  if (access.address != "127.0.0.1") options += " --host " + access.address;
  if (objects.front().port != qc::demo::kDefaultBasePort) {
    options += " --base-port " + std::to_string(objects.front().port);
  }
  std::vector<std::string> commands;
  std::size_t width = 0;
  for (const qc::demo::SpawnedObject& object : objects) {
    std::size_t sameName = 0;
    for (const qc::demo::SpawnedObject& other : objects) {
      sameName += other.templateName == object.templateName ? 1 : 0;
    }
    commands.push_back(program + options + " " +
                       (sameName == 1 ? object.templateName : qc::demo::FormatGoid(object.goid)));
    width = std::max(width, commands.back().size());
  }
  std::cout << "\nAttach to a console with quillaret-attach (line editing, history, attaching "
               "again after a restart):\n";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    std::cout << "    " << commands[i] << std::string(width - commands[i].size(), ' ')
              << "    # GoID " << qc::demo::FormatGoid(objects[i].goid) << ", port "
              << objects[i].port << "\n";
  }
}

void PrintAttachHelp(const std::vector<qc::demo::SpawnedObject>& objects, const Access& access) {
  const std::string& address = access.address;
  const qc::demo::SpawnedObject& first = objects.front();
  const std::uint16_t port = first.port;
  std::cout << "\nOr with any line-oriented terminal client, for example to the console of GoID "
            << qc::demo::FormatGoid(first.goid) << ":\n";
  std::cout << "    nc " << address << " " << port << "\n"
            << "    telnet " << address << " " << port << "\n"
            << "    socat - TCP:" << address << ":" << port << "\n"
            << "    plink -telnet -P " << port << " " << address << "\n"
            << (access.password ? "Give the password as your first line. " : "")
            << "Then type [this].Describe() or Help(); [who], [spawns] and [quit] are answered"
               " by the console itself.\n"
            << "Press Ctrl-C to stop.\n"
            << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  qc::demo::HostOptions options;
  std::string error;
  if (!qc::demo::ParseHostOptions(args, options, error)) {
    std::cerr << kProgram << ": " << error << "\nTry '" << kProgram << " --help'." << std::endl;
    return 2;
  }
  if (options.showHelp) {
    std::cout << qc::demo::UsageText(kProgram);
    return 0;
  }

  const std::string library = ChooseLibrary(options.libraryPath);
  qc::loader::ConsoleApi api{};
  if (!qc::loader::LoadConsoleLibrary(library, api, error)) {
    std::cerr << kProgram << ": cannot use the console library: " << error << std::endl;
    return 1;
  }
  std::cout << kProgram << ": loaded " << library << std::endl;

  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);

  qc::demo::ConsoleHost host(api, std::cout);
  const std::string profile = qc::loader::ConsoleProfilePath();
  for (const qc::demo::RequestedObject& requested : options.objects) {
    // The library reads the profile anew at every spawn; so does the host, to name the port.
    const int basePort = qc::demo::ReadBasePort(profile);
    if (!host.Spawn(requested.goid, requested.templateName, basePort, error)) {
      std::cerr << kProgram << ": " << error << std::endl;
      return 1;
    }
    const qc::demo::SpawnedObject& object = host.Objects().back();
    std::cout << kProgram << ": console for GoID " << qc::demo::FormatGoid(object.goid) << " ("
              << object.templateName << ") on port " << object.port << std::endl;
  }
  const Access access = PrintAccess(profile);
  PrintAttachCommands(host.Objects(), access);
  PrintAttachHelp(host.Objects(), access);

  auto nextFrame = std::chrono::steady_clock::now();
  while (!stopRequested.load()) {
    host.RunFrame();
    nextFrame += kFrame;
    const auto now = std::chrono::steady_clock::now();
    if (nextFrame < now) nextFrame = now;  // after a slow frame, do not rush to catch up
    std::this_thread::sleep_until(nextFrame);
  }
  std::cout << kProgram << ": stopping" << std::endl;
  return 0;
}
