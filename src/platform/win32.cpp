// Win32 implementation of the platform layer: Windows Sockets from WSOCK32.dll, Win32 threads
// and mutexes, GetLocalTime, and the private-profile functions over the Windows directory.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <new>

#include "platform/platform.h"

namespace qc::platform {

struct Mutex {
  HANDLE handle;
};

namespace {

// Winsock's SOCKET is an unsigned handle. On 32-bit Windows it has the width of Socket, and
// INVALID_SOCKET (all bits set) reads as -1 there; the check keeps that explicit.
Socket FromHandle(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<Socket>(s); }
SOCKET ToHandle(Socket s) { return static_cast<SOCKET>(static_cast<std::uint32_t>(s)); }

// Winsock reports failure as SOCKET_ERROR (-1) and success as 0 or a count.
int Result(int r) { return r == SOCKET_ERROR ? -1 : r; }

DWORD WINAPI Win32ThreadMain(LPVOID record) {
  ThreadEntry(static_cast<ThreadStart*>(record));
  return 0;
}

}  // namespace

int StartSocketLibrary() {
  // Version 2.0: major version in the low byte. Every call is counted by Winsock and never
  // undone: the library is started once per listening socket and never shut down.
  WSADATA data;
  return WSAStartup(0x0002, &data) == 0 ? 0 : -1;
}

Socket CreateTcpSocket() { return FromHandle(::socket(AF_INET, SOCK_STREAM, 0)); }

int EnableAddressReuse(Socket s) {
  const int on = 1;
  return Result(::setsockopt(ToHandle(s), SOL_SOCKET, SO_REUSEADDR,
                             reinterpret_cast<const char*>(&on), sizeof on));
}

int BindAnyAddress(Socket s, std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  return Result(::bind(ToHandle(s), reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int ListenOn(Socket s, int backlog) { return Result(::listen(ToHandle(s), backlog)); }

Socket AcceptConnection(Socket listening) {
  sockaddr_in address;
  int length = sizeof address;
  const SOCKET s = ::accept(ToHandle(listening), reinterpret_cast<sockaddr*>(&address), &length);
  if (s != INVALID_SOCKET) return FromHandle(s);
  switch (::WSAGetLastError()) {
    case WSAEMFILE:       // out of sockets or buffer memory, for now
    case WSAENOBUFS:
    case WSAECONNRESET:   // the connection went away before it was taken
    case WSAECONNABORTED:
    case WSAEINTR:
      return kAcceptAgain;
    default:
      return -1;
  }
}

int WaitForReadable(Socket s, const Timeout& timeout) {
  // Winsock defines no meaning for a negative time (wine returns at once); fail it outright,
  // as the POSIX layer does.
  if (timeout.seconds < 0 || timeout.micros < 0) return -1;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(ToHandle(s), &readable);
  // Winsock leaves the time value alone, unlike some POSIX selects; the copy keeps the
  // configured timeout read-only on every platform all the same. The first argument is
  // ignored by Winsock and passed as BSD sockets expect it.
  timeval wait;
  wait.tv_sec = timeout.seconds;
  wait.tv_usec = timeout.micros;
  return Result(::select(s + 1, &readable, nullptr, nullptr, &wait));
}

int SendSome(Socket s, const char* data, int length) {
  // Winsock never raises a signal for a broken connection: the send just fails.
  return Result(::send(ToHandle(s), data, length, 0));
}

int ReceiveSome(Socket s, char* buffer, int capacity) {
  return Result(::recv(ToHandle(s), buffer, capacity, 0));
}

int PeerAddress(Socket s, std::uint8_t octets[4]) {
  sockaddr_in address;
  int length = sizeof address;
  std::memset(&address, 0, sizeof address);
  if (::getpeername(ToHandle(s), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return -1;
  }
  std::memcpy(octets, &address.sin_addr.s_addr, 4);  // network order: first octet first
  return 0;
}

int CloseSocket(Socket s) { return Result(::closesocket(ToHandle(s))); }

bool StartThread(ThreadStart* record, std::size_t stackBytes) {
  // Without STACK_SIZE_PARAM_IS_A_RESERVATION the size is the stack's initial commit; the
  // reservation is the host executable's default, and the stack grows on demand within it.
  HANDLE thread = CreateThread(nullptr, stackBytes, Win32ThreadMain, record, 0, nullptr);
  if (thread == nullptr) return false;
  // Nobody waits for or joins a thread: it runs detached.
  (void)CloseHandle(thread);
  return true;
}

void SuspendSelf() {
  for (;;) (void)SuspendThread(GetCurrentThread());
}

void SleepMillis(int millis) { ::Sleep(static_cast<DWORD>(millis)); }

Mutex* CreateRecursiveMutex() {
  // Win32 mutexes are recursive for their owner by nature.
  HANDLE handle = CreateMutexA(nullptr, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  auto* mutex = new (std::nothrow) Mutex{handle};
  if (mutex == nullptr) (void)CloseHandle(handle);
  return mutex;
}

void LockRecursiveMutex(Mutex* mutex) { (void)WaitForSingleObject(mutex->handle, INFINITE); }

void UnlockRecursiveMutex(Mutex* mutex) { (void)ReleaseMutex(mutex->handle); }

void* AllocatePages(std::size_t bytes) {
  // Committed pages are zero-filled and take no physical memory until first written.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* block, std::size_t /*bytes*/) {
  if (block != nullptr) (void)VirtualFree(block, 0, MEM_RELEASE);
}

TimeOfDay LocalTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wHour, now.wMinute, now.wSecond};
}

// A bare file name makes the profile functions look in the Windows directory.

int ReadProfileInt(const char* section, const char* key, int fallback, const char* fileName) {
  // The value comes back as UINT; a negative number in the file reads back as itself.
  return static_cast<int>(GetPrivateProfileIntA(section, key, fallback, fileName));
}

int ReadProfileString(const char* section, const char* key, const char* fallback, char* out,
                      std::size_t capacity, const char* fileName) {
  if (capacity == 0) return 0;
  const DWORD size = capacity > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(capacity);
  return static_cast<int>(GetPrivateProfileStringA(section, key, fallback, out, size, fileName));
}

}  // namespace qc::platform
