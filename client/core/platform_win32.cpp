// quillaret-attach's operating-system layer on Windows: Winsock 2 with select, the console.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "client/core/line_editor_win32.h"
#include "client/core/platform.h"
#include "client/core/resolve.h"

namespace qc::attach {
namespace {

SOCKET AsSocket(Connection connection) { return static_cast<SOCKET>(connection); }

// Set by the console's control handler, which runs on a thread of its own.
volatile LONG interrupted = 0;
bool interruptStopsWaits = false;
bool catchingInterrupt = false;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // While the line editor (or the password prompt) reads the console's keys, Ctrl-C and
  // Ctrl-Break reach it as a Ctrl-C key, the one path it knows; the flag is for the waits.
  if (PutBackInterrupt()) return TRUE;
  InterlockedExchange(&interrupted, 1);
  return TRUE;  // handled: the program goes on
}

int WaitOnce(SOCKET s, bool write, int millis);

// select() for one socket: positive when ready, 0 when the time ran out (or Ctrl-C stopped
// the wait), -1 on failure. select() does not end on Ctrl-C, so while it is caught the wait
// is made in slices that look at the flag.
int WaitFor(SOCKET s, bool write, int millis) {
  if (!catchingInterrupt || millis <= 100) return WaitOnce(s, write, millis);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(millis);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return 0;
    const int slice = deadline - now > 100 ? 100 : static_cast<int>(deadline - now);
    const int result = WaitOnce(s, write, slice);
    if (result != 0) return result;
    if (WaitInterrupted()) return 0;
  }
}

int WaitOnce(SOCKET s, bool write, int millis) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(s, &failed);
  timeval limit{millis / 1000, (millis % 1000) * 1000};
  // A connect that fails is reported in the exception set.
  const int result = select(0, write ? nullptr : &set, write ? &set : nullptr, &failed,
                            millis < 0 ? nullptr : &limit);
  if (result > 0 && FD_ISSET(s, &failed) && !FD_ISSET(s, &set)) return -1;
  return result;
}

bool IsConsoleHandle(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool StartNetwork() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Connection ConnectTo(const std::string& host, std::uint16_t port, int millis) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (!ResolveIpv4(host, target.sin_addr)) return kNoConnection;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoConnection;
  u_long nonBlocking = 1;
  (void)ioctlsocket(s, FIONBIO, &nonBlocking);
  int result = connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (result != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
    result = WaitFor(s, true, millis) > 0 ? 0 : -1;
  }
  if (result != 0) {
    closesocket(s);
    return kNoConnection;
  }
  nonBlocking = 0;
  (void)ioctlsocket(s, FIONBIO, &nonBlocking);
  const BOOL on = TRUE;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<Connection>(s);
}

std::string LocalAddress(Connection connection) {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(AsSocket(connection), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return "";
  }
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
}

bool SendAllBytes(Connection connection, const char* bytes, std::size_t length, int millis) {
  const SOCKET s = AsSocket(connection);
  while (length > 0) {
    if (WaitFor(s, true, millis) <= 0) return false;
    const int chunk = length > 65536 ? 65536 : static_cast<int>(length);
    const int sent = send(s, bytes, chunk, 0);
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

int ReceiveBytes(Connection connection, char* buffer, std::size_t capacity, int millis) {
  const SOCKET s = AsSocket(connection);
  const int ready = WaitFor(s, false, millis);
  if (ready == 0) return 0;
  if (ready < 0) return -1;
  const int chunk = capacity > 65536 ? 65536 : static_cast<int>(capacity);
  const int received = recv(s, buffer, chunk, 0);
  return received > 0 ? received : -1;
}

void CloseConnection(Connection connection) { closesocket(AsSocket(connection)); }

std::int64_t NowMillis() { return static_cast<std::int64_t>(GetTickCount64()); }

void PauseMillis(int millis) { Sleep(static_cast<DWORD>(millis)); }

bool IsTerminal(int stream) {
  return IsConsoleHandle(stream == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
}

bool IsForeignTerminal(int stream) {
  const HANDLE handle = GetStdHandle(stream == 0 ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr ||
      GetFileType(handle) != FILE_TYPE_PIPE) {
    return false;
  }
  // FILE_NAME_INFO: a length in bytes, then the name in UTF-16 (a pipe's without "\\.\pipe").
  alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + 1024];
  if (GetFileInformationByHandleEx(handle, FileNameInfo, buffer, sizeof buffer) == 0) return false;
  const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
  std::string name;
  const DWORD length = std::min<DWORD>(info->FileNameLength / sizeof(WCHAR), 400);
  for (DWORD i = 0; i < length; ++i) {
    name += info->FileName[i] < 0x80 ? static_cast<char>(info->FileName[i]) : '?';
  }
  return IsPtyPipeName(name);
}

void CatchInterrupt(bool stopWaits) {
  interruptStopsWaits = stopWaits;
  catchingInterrupt = true;
  (void)SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted() { return InterlockedCompareExchange(&interrupted, 0, 0) != 0; }

bool WaitInterrupted() { return interruptStopsWaits && Interrupted(); }

void ClearInterrupt() { InterlockedExchange(&interrupted, 0); }

std::string LocalDateTime() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{local.wYear},
                unsigned{local.wMonth}, unsigned{local.wDay}, unsigned{local.wHour},
                unsigned{local.wMinute}, unsigned{local.wSecond});
  return text;
}

bool EnableColourOutput() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) == 0) return false;
  // ENABLE_VIRTUAL_TERMINAL_PROCESSING: consoles older than Windows 10 refuse it, and a console
  // may take the mode without keeping the bit; only a bit that reads back set is trusted.
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    return false;
  }
  return GetConsoleMode(out, &mode) != 0 && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string UserStateFolder() { return EnvironmentValue("LOCALAPPDATA"); }

bool MakeFolders(const std::string& path) {
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
    const std::string part = path.substr(0, i);
    if (part.empty() || part.back() == ':') continue;  // a drive
    if (CreateDirectoryA(part.c_str(), nullptr) == 0 && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

namespace {

bool WriteBytes(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const BOOL closed = CloseHandle(file);
  return ok != 0 && closed != 0 && written == bytes.size();
}

}  // namespace

bool AppendToFile(const std::string& path, const std::string& bytes) {
  // FILE_APPEND_DATA alone: every write goes to the end of the file as it is then.
  const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  return WriteBytes(file, bytes);
}

bool ReplaceWholeFile(const std::string& path, const std::string& bytes) {
  const std::string fresh = path + ".new";
  const HANDLE file = CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (!WriteBytes(file, bytes) ||
      MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) == 0) {
    (void)DeleteFileA(fresh.c_str());
    return false;
  }
  return true;
}

std::string SystemProfilePath() {
  char folder[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return "";
  return std::string(folder) + "\\quillaret_console.ini";
}

bool ReadSecret(const char* prompt, std::string& secret) {
  // Through the line editor's reader of the console: the only one, so what is typed here can
  // never be taken as a script line. Ctrl-C comes to it as a key; it then counts as Ctrl-C
  // caught anywhere else (a first attach stops, the interactive loop clears its line).
  bool interruptedHere = false;
  const bool given = ReadConsoleSecret(prompt, secret, interruptedHere);
  if (interruptedHere && catchingInterrupt) InterlockedExchange(&interrupted, 1);
  return given;
}

}  // namespace qc::attach
