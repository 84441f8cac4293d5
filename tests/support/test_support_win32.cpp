// Windows pieces of the test helpers: Winsock clients, msvcrt's standard error, and the
// profile file in the Windows directory.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_support.h"

namespace qc::test::os {
namespace {

// The test process uses sockets of its own before (or without) any server, so it starts
// Winsock itself, once.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET ToHandle(int s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }

int FromHandle(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// The number of threads this process has, or -1.
int CountOwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// wine (8.0) can crash the whole process with a segmentation fault when the process ends
// while one of its threads is still starting up, and a test that spawns a console ends while
// the listener is still starting its 100 workers. So a test program waits, as it exits, until
// its number of threads has stayed the same for a while (all workers up and parked), bounded
// at a few seconds. Windows itself needs no such wait.
void WaitForThreadsToSettle() {
  constexpr int kPollMillis = 20;
  constexpr int kStablePolls = 10;
  constexpr int kMaxPolls = 250;
  int last = CountOwnThreads();
  if (last <= 1) return;
  int stable = 0;
  for (int i = 0; i < kMaxPolls && stable < kStablePolls; ++i) {
    Sleep(kPollMillis);
    const int now = CountOwnThreads();
    stable = now == last ? stable + 1 : 0;
    last = now;
  }
}

[[maybe_unused]] const bool kSettleAtExit = std::atexit(WaitForThreadsToSettle) == 0;

}  // namespace

int ConnectLoopback(std::uint16_t port, const char* from) {
  if (!StartWinsock()) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  if (from != nullptr) {
    // Windows routes all of 127.0.0.0/8 to the loopback interface, as Linux does.
    sockaddr_in source = LoopbackAddress(0);
    source.sin_addr.s_addr = ::inet_addr(from);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
      ::closesocket(s);
      return -1;
    }
  }
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::closesocket(s);
    return -1;
  }
  return FromHandle(s);
}

int SendBytes(int s, const char* data, int length) {
  const int n = ::send(ToHandle(s), data, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveWithin(int s, char* buffer, int capacity, int millis) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(ToHandle(s), &readable);
  timeval wait;
  wait.tv_sec = millis / 1000;
  wait.tv_usec = (millis % 1000) * 1000;
  const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
  if (ready == 0) return -2;
  if (ready == SOCKET_ERROR) return -1;
  const int n = ::recv(ToHandle(s), buffer, capacity, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void ResetAndClose(int s) {
  linger option;
  option.l_onoff = 1;
  option.l_linger = 0;
  ::setsockopt(ToHandle(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
  ::closesocket(ToHandle(s));
}

void Close(int s) { ::closesocket(ToHandle(s)); }

int ListenLoopback(std::uint16_t port) {
  if (!StartWinsock()) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  // On Windows SO_REUSEADDR lets another socket bind a port that is in use, and the library
  // sets it on its listening sockets. A port held here must stay held, so that a test can
  // make the library's bind fail: the exclusive option forbids any other bind to the port.
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  const sockaddr_in address = LoopbackAddress(port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, 16) != 0) {
    ::closesocket(s);
    return -1;
  }
  return FromHandle(s);
}

int AcceptOne(int listening) { return FromHandle(::accept(ToHandle(listening), nullptr, nullptr)); }

int RedirectStderr(const std::string& path) {
  // The library writes through msvcrt's stderr, which the test program shares: moving
  // descriptor 2 moves both. The file is opened in text mode, as standard error is, so the
  // library's line ends reach it the way they reach a host's redirected stream.
  const int saved = ::_dup(2);
  const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT,
                         _S_IREAD | _S_IWRITE);
  if (fd >= 0) {
    ::_dup2(fd, 2);
    ::_close(fd);
  }
  return saved;
}

void RestoreStderr(int savedFd) {
  if (savedFd < 0) return;
  ::_dup2(savedFd, 2);
  ::_close(savedFd);
}

std::string TempFilePath(const std::string& stem) {
  char directory[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof directory, directory);
  std::string path = (length > 0 && length < sizeof directory) ? std::string(directory, length)
                                                                 : std::string(".\\");
  return path + "qc_" + stem + "_" + std::to_string(GetCurrentProcessId());
}

std::string ProfilePath() {
  // The library reads its profile by bare name, which Windows looks up in the Windows
  // directory. That folder is shared by every process, so tests that write the file must not
  // run at the same time (CTest gives them one resource lock).
  char directory[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  const std::string folder =
      (length > 0 && length < sizeof directory) ? std::string(directory, length) : "C:\\Windows";
  return folder + "\\quillaret_console.ini";
}

void SleepMillis(int millis) { Sleep(static_cast<DWORD>(millis)); }

bool StderrTranslatesLineEnds() { return true; }

// The library takes its time of day from GetLocalTime, which follows the system's time zone
// setting, not the C library's TZ variable.
bool UseTimeZone(const char*) { return false; }

}  // namespace qc::test::os
