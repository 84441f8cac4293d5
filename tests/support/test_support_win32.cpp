// Windows pieces of the test helpers: Winsock clients, msvcrt's standard error, and the
// profile file in the Windows directory.
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// Ending a test program safely under wine.
//
// wine (8.0) can crash a process with a segmentation fault, or have its server kill it, when
// the process ends the usual way (ExitProcess) with a few hundred threads, and it can crash it
// too when the process ends while one of its threads is still starting up. A test that spawns
// consoles ends with 101 threads per console, and possibly while a listener is still starting
// its workers. So once the tests have run, a test program waits until every thread has
// finished starting and no more are coming (each console's workers are all up and its
// listener has parked itself), flushes its output, and ends with TerminateProcess and the
// exit code the tests earned. Windows itself needs none of this.

// Threads that have run their start-up (the loader's thread-attach notification) and ended.
std::atomic<int> startedThreads{0};
std::atomic<int> endedThreads{0};

void NTAPI NoteThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH) startedThreads.fetch_add(1);
  if (reason == DLL_THREAD_DETACH) endedThreads.fetch_add(1);
}

// The loader calls the executable's TLS callbacks for every thread the process starts or ends.
extern "C" __attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK qcNoteThreadEvent =
    NoteThreadEvent;

// The ids of this process's threads other than the calling one.
std::vector<DWORD> OtherThreadIds() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self) {
      ids.push_back(entry.th32ThreadID);
    }
  }
  CloseHandle(snapshot);
  return ids;
}

// How many of the threads are suspended: suspending one more time reports the count it had,
// and the resume restores it.
int CountSuspended(const std::vector<DWORD>& ids) {
  int suspended = 0;
  for (DWORD id : ids) {
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, id);
    if (thread == nullptr) continue;
    const DWORD previous = SuspendThread(thread);
    if (previous != static_cast<DWORD>(-1)) {
      if (previous > 0) ++suspended;
      ResumeThread(thread);
    }
    CloseHandle(thread);
  }
  return suspended;
}

void WaitForThreadsToSettle() {
  constexpr int kThreadsPerConsole = 101;  // the parked listener and its workers
  constexpr int kPollMillis = 20;
  // Threads the test started itself break the count of consoles; then the wait ends once the
  // number of threads has not changed for a while.
  constexpr int kStablePolls = 25;
  constexpr int kMaxPolls = 500;
  int last = -1;
  int stable = 0;
  for (int poll = 0; poll < kMaxPolls; ++poll) {
    const std::vector<DWORD> others = OtherThreadIds();
    const int count = static_cast<int>(others.size());
    // A thread not yet counted as started is still starting (or was just created).
    if (count == startedThreads.load() - endedThreads.load()) {
      if (count == 0) return;
      if (count == kThreadsPerConsole * CountSuspended(others)) return;
      stable = count == last ? stable + 1 : 0;
      if (stable >= kStablePolls) return;
    } else {
      stable = 0;
    }
    last = count;
    Sleep(kPollMillis);
  }
}

// The exit code of the finished test run, or -1 while the tests have not run to the end.
std::atomic<int> testRunExitCode{-1};

class TestRunEndListener : public ::testing::EmptyTestEventListener {
  void OnTestProgramEnd(const ::testing::UnitTest& unitTest) override {
    testRunExitCode.store(unitTest.Passed() ? 0 : 1);
  }
};

void EndTestProgram() {
  const int exitCode = testRunExitCode.load();
  // Without a finished run (listing the tests, for instance) or without threads of the
  // library's, the usual exit is safe.
  if (exitCode < 0 || OtherThreadIds().empty()) return;
  WaitForThreadsToSettle();
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
}

[[maybe_unused]] const bool kEndRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TestRunEndListener);
  return std::atexit(EndTestProgram) == 0;
}();

}  // namespace

int ConnectLoopback(std::uint16_t port, const char* from, const char* to) {
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
  sockaddr_in address = LoopbackAddress(port);
  if (to != nullptr) address.sin_addr.s_addr = ::inet_addr(to);
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

void ShutdownSending(int s) { ::shutdown(ToHandle(s), 1); }  // SD_SEND

long HeldResources() {
  DWORD handles = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &handles) ? static_cast<long>(handles) : -1;
}

bool ReusesAddress(int s) {
  BOOL on = FALSE;
  int length = sizeof on;
  return ::getsockopt(ToHandle(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&on),
                      &length) == 0 &&
         on != FALSE;
}

// Windows would let a second socket bind a port that is being listened on.
const bool kListenSocketsReuseAddress = false;

bool ExcludesOtherBinds(int s) {
  BOOL on = FALSE;
  int length = sizeof on;
  return ::getsockopt(ToHandle(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&on),
                      &length) == 0 &&
         on != FALSE;
}

const bool kListenSocketsExcludeOtherBinds = true;

bool ChildrenInherit(int s) {
  DWORD flags = 0;
  return ::GetHandleInformation(reinterpret_cast<HANDLE>(ToHandle(s)), &flags) == 0 ||
         (flags & HANDLE_FLAG_INHERIT) != 0;
}

int ListenLoopback(std::uint16_t port) {
  if (!StartWinsock()) return -1;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return -1;
  // On Windows SO_REUSEADDR lets another socket bind a port that is in use. A port held here
  // must stay held, whatever the other socket asks for, so that a test can make the library's
  // bind fail: the exclusive option forbids any other bind to the port.
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
  const int fd =
      ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
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

void RaiseDescriptorLimit() {}

bool StderrTranslatesLineEnds() { return true; }

// The library takes its time of day from GetLocalTime, which follows the system's time zone
// setting, not the C library's TZ variable.
bool UseTimeZone(const char*) { return false; }

}  // namespace qc::test::os
