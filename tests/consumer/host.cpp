// Loads the console library beside the program with the installed loader, spawns a console for
// one object on the given port, connects to it as a developer would, and takes the connected
// notice from GetNextMessage. Exit code 0 when the notice came within the time limit.
//   qc_consumer_host PORT
#include <quillaret_console/host_loader.h>
#include <quillaret_console/port_probe.h>
#include <quillaret_console/profile_path.h>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeLimit = std::chrono::seconds(30);
constexpr unsigned kGoid = 42;

std::string LibraryBesideProgram(const char* argv0) {
  std::string path(argv0);
  const std::string::size_type slash = path.find_last_of("/\\");
  path = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return path + qc::loader::DefaultLibraryName();
}

// A TCP connection to 127.0.0.1:port, kept open until the process ends; false on failure.
bool ConnectAsDeveloper(int port) {
#if defined(_WIN32)
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return false;
#else
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
#endif
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(port));
  return connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "qc_consumer_host: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: qc_consumer_host PORT");
  const int port = std::atoi(argv[1]);
  const auto deadline = Clock::now() + kTimeLimit;

  // The library reads BasePort from its profile file at every spawn.
  {
    std::ofstream profile(qc::loader::ConsoleProfilePath(), std::ios::trunc);
    profile << "[QCServer]\nBasePort=" << port << "\n";
    if (!profile) return Fail("cannot write " + qc::loader::ConsoleProfilePath());
  }

  const std::string library = LibraryBesideProgram(argv[0]);
  qc::loader::ConsoleApi api{};
  std::string error;
  if (!qc::loader::LoadConsoleLibrary(library, api, error)) return Fail(error);
  std::printf("qc_consumer_host: loaded %s\n", library.c_str());

  char templateName[] = "goblin";
  if (!api.SpawnServer(kGoid, templateName)) return Fail("SpawnServer refused");
  while (!qc::loader::ListeningOn(static_cast<std::uint16_t>(port))) {
    if (Clock::now() > deadline) return Fail("no console listens on port " + std::to_string(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ConnectAsDeveloper(port)) return Fail("cannot connect to port " + std::to_string(port));

  const std::string expected = "QC_OK: 127.0.0.1 connected (Port " + std::to_string(port) +
                               ", GoID: " + std::to_string(kGoid) + ")";
  for (;;) {
    const std::string text = api.GetNextMessage(kGoid);
    if (text == expected) break;
    if (!text.empty()) return Fail("unexpected message: " + text);
    if (Clock::now() > deadline) return Fail("no connected notice");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("qc_consumer_host: took \"%s\"\n", expected.c_str());
  std::fflush(stdout);
  return 0;
}
