// Win32 implementation of the platform layer: Windows Sockets from WSOCK32.dll, Win32 threads
// and mutexes, GetLocalTime, and the private-profile functions over the Windows directory.
// select() takes as many sockets as FD_SETSIZE says, when it is defined before the header
// (Winsock's fd_set is a count and an array); a console waits on up to kMaxPollEntries.
#define FD_SETSIZE 256
#include <winsock2.h>
#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/faults.h"
#include "platform/platform.h"

namespace qc::platform {

struct Mutex {
  HANDLE handle;
};

namespace {

// Winsock's SOCKET is an unsigned handle as wide as a pointer (64 bits on x64); Socket is a
// signed 32-bit value. A socket is a kernel handle, and a process's handle values are multiples
// of 4 below 2^26 (a process holds at most 2^24 handles; 64-bit Windows keeps 32 significant
// bits in every handle so that 32-bit processes can share them). So every socket Winsock gives
// out fits a non-negative Socket. The conversion checks it all the same rather than truncate:
// a handle that did not fit would be closed and reported as a failure, never kept cut down to
// some other socket's value.
constexpr SOCKET kLargestSocket = 0x7fffffff;

// INVALID_SOCKET, and a handle that does not fit (closed here), become -1.
Socket FromHandle(SOCKET s) {
  if (s == INVALID_SOCKET) return -1;
  if (s > kLargestSocket) {
    (void)::closesocket(s);
    return -1;
  }
  return static_cast<Socket>(s);
}

SOCKET ToHandle(Socket s) { return s < 0 ? INVALID_SOCKET : static_cast<SOCKET>(s); }

// Winsock reports failure as SOCKET_ERROR (-1) and success as 0 or a count.
int Result(int r) { return r == SOCKET_ERROR ? -1 : r; }

struct ThreadStart {
  void (*function)(void*);
  void* argument;
};

DWORD WINAPI ThreadMain(LPVOID start) {
  const ThreadStart record = *static_cast<ThreadStart*>(start);
  std::free(start);
  record.function(record.argument);
  return 0;
}

// Puts a socket in non-blocking mode. 0 or -1.
int SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

static_assert(kMaxPollEntries <= FD_SETSIZE, "every entry of a wait fits one fd_set");

// Winsock sockets are inheritable handles: a child process that the host starts with handle
// inheritance would keep a console's port, or a connection the console has closed, open for as
// long as it runs. WSASocket's WSA_FLAG_NO_HANDLE_INHERIT would do this in the same call, but
// it is not in WSOCK32; a child created in the moment between the two calls is the only one
// that can still inherit the handle. False when it cannot be done.
bool KeepFromChildren(SOCKET s) {
  return SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace

int StartSocketLibrary() {
  // Version 2.0: major version in the low byte. Every call is counted by Winsock and never
  // undone: the library is started once per listening socket and never shut down.
  WSADATA data;
  return WSAStartup(0x0002, &data) == 0 ? 0 : -1;
}

Socket CreateTcpSocket() {
  if (QC_FAULT(kSocket)) {
    ::WSASetLastError(WSAEMFILE);
    return -1;
  }
  const Socket s = FromHandle(::socket(AF_INET, SOCK_STREAM, 0));
  if (s >= 0 && !KeepFromChildren(ToHandle(s))) {
    (void)::closesocket(ToHandle(s));
    return -1;
  }
  return s;
}

int EnableAddressReuse(Socket s) {
  // A plain bind already rebinds a port whose old connections are in TIME_WAIT. SO_REUSEADDR
  // would let this socket bind a port that another one is listening on, so that two game
  // instances with the same ports would both start and share the connections. Without
  // SO_EXCLUSIVEADDRUSE, any other local program could do that to the console: bind its port
  // with SO_REUSEADDR and take its connections.
  const BOOL on = TRUE;
  return Result(::setsockopt(ToHandle(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                             reinterpret_cast<const char*>(&on), sizeof on));
}

int BindTo(Socket s, std::uint32_t ipv4, std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ipv4);
  address.sin_port = htons(port);
  if (QC_FAULT(kBind)) {
    ::WSASetLastError(WSAEADDRINUSE);
    return -1;
  }
  return Result(::bind(ToHandle(s), reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int ListenOn(Socket s, int backlog) {
  if (QC_FAULT(kListen)) {
    ::WSASetLastError(WSAENOBUFS);
    return -1;
  }
  if (::listen(ToHandle(s), backlog) == SOCKET_ERROR) return -1;
  return SetNonBlocking(ToHandle(s));
}

Socket AcceptConnection(Socket listening) {
  sockaddr_in address;
  int length = sizeof address;
  const SOCKET s = QC_FAULT(kAccept) ? (::WSASetLastError(WSAEMFILE), INVALID_SOCKET)
                                     : ::accept(ToHandle(listening),
                                                reinterpret_cast<sockaddr*>(&address), &length);
  if (s != INVALID_SOCKET) {
    // A connection whose handle does not fit is closed by FromHandle; the listening socket is
    // sound.
    const Socket accepted = FromHandle(s);
    if (accepted < 0) return kAcceptSkipped;
    // An accepted socket takes the listening socket's mode; it is set again all the same, as
    // a receive or send that blocked would stop the whole console.
    if (SetNonBlocking(s) == 0 && KeepFromChildren(s)) return accepted;
    (void)::closesocket(s);
    return kAcceptSkipped;
  }
  switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
      return kAcceptNone;
    case WSAEMFILE:  // out of sockets or buffer memory, for now
    case WSAENOBUFS:
      return kAcceptAgain;
    case WSAECONNRESET:  // the connection went away before it was taken
    case WSAECONNABORTED:
    case WSAENOTCONN:  // what wine gives for a connection reset before it was taken
    case WSAEINTR:
      return kAcceptSkipped;
    default:
      return -1;
  }
}

int SendSomeNow(Socket s, const char* data, int length) {
  if (QC_FAULT(kSend)) {
    ::WSASetLastError(WSAESHUTDOWN);
    return -1;
  }
  // Winsock never raises a signal for a broken connection: the send just fails.
  const int sent = ::send(ToHandle(s), data, length, 0);
  if (sent > 0) return sent;
  if (sent == 0) return kWouldBlock;
  switch (::WSAGetLastError()) {
    case WSAEWOULDBLOCK:
      return kWouldBlock;
    case WSAECONNRESET:
    case WSAECONNABORTED:  // what Windows says of a connection that the peer's reset ended
      return kPeerReset;
    default:
      return -1;
  }
}

int ReceiveSomeNow(Socket s, char* buffer, int capacity) {
  if (QC_FAULT(kReceive)) {
    ::WSASetLastError(WSAECONNRESET);
    return -1;
  }
  const int received = ::recv(ToHandle(s), buffer, capacity, 0);
  if (received != SOCKET_ERROR) return received;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

int WaitForEvents(PollEntry* entries, int count, int millis) {
  if (count < 0 || count > kMaxPollEntries) return -1;
  if (QC_FAULT(kWait)) {
    ::WSASetLastError(WSAENOBUFS);
    return -1;
  }
  // Three fd_sets of FD_SETSIZE handles: a few KiB of the console thread's stack.
  struct Sets {
    fd_set read, write, error;
  };
  Sets setsOnStack;
  Sets* sets = &setsOnStack;
  FD_ZERO(&sets->read);
  FD_ZERO(&sets->write);
  FD_ZERO(&sets->error);
  bool any = false;
  for (int i = 0; i < count; ++i) {
    entries[i].isReadable = false;
    entries[i].isWritable = false;
    const SOCKET handle = ToHandle(entries[i].socket);
    if (entries[i].wantRead) FD_SET(handle, &sets->read);
    if (entries[i].wantWrite) FD_SET(handle, &sets->write);
    if (entries[i].wantRead || entries[i].wantWrite) {
      FD_SET(handle, &sets->error);
      any = true;
    }
  }
  if (!any) {  // Winsock fails a select on empty sets
    if (millis != 0) ::Sleep(millis < 0 ? INFINITE : static_cast<DWORD>(millis));
    return 0;
  }
  timeval wait;
  wait.tv_sec = millis / 1000;
  wait.tv_usec = (millis % 1000) * 1000;
  const int ready =
      ::select(0, &sets->read, &sets->write, &sets->error, millis < 0 ? nullptr : &wait);
  if (ready == SOCKET_ERROR) return -1;
  for (int i = 0; i < count; ++i) {
    const SOCKET handle = ToHandle(entries[i].socket);
    // A failed connection is for the receive (or the send) to find out.
    const bool failed = FD_ISSET(handle, &sets->error) != 0;
    entries[i].isReadable = entries[i].wantRead && (FD_ISSET(handle, &sets->read) != 0 || failed);
    entries[i].isWritable = entries[i].wantWrite && (FD_ISSET(handle, &sets->write) != 0 || failed);
  }
  return ready;
}

struct Waker {
  SOCKET socket;
};

Waker* CreateWaker() {
  if (QC_FAULT(kWake)) {
    ::WSASetLastError(WSAEMFILE);
    return nullptr;
  }
  if (StartSocketLibrary() != 0) return nullptr;
  auto* waker = static_cast<Waker*>(std::malloc(sizeof(Waker)));
  if (waker == nullptr) return nullptr;
  // A UDP socket on loopback, connected to itself: a datagram it sends makes it readable.
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (FromHandle(s) < 0) {  // none, or one too large (FromHandle closed it)
    std::free(waker);
    return nullptr;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  const bool made =
      ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      SetNonBlocking(s) == 0 && KeepFromChildren(s);
  if (!made) {
    (void)::closesocket(s);
    std::free(waker);
    return nullptr;
  }
  waker->socket = s;
  return waker;
}

Socket WakerSocket(const Waker* waker) { return static_cast<Socket>(waker->socket); }

bool SignalWaker(Waker* waker) {
  if (QC_FAULT(kWake)) {
    ::WSASetLastError(WSAENOBUFS);
    return false;
  }
  const char byte = 1;
  if (::send(waker->socket, &byte, 1, 0) == 1) return true;
  // A send that finds the socket's buffer full leaves it readable all the same.
  return ::WSAGetLastError() == WSAEWOULDBLOCK;
}

void DrainWaker(Waker* waker) {
  char bytes[64];
  while (::recv(waker->socket, bytes, sizeof bytes, 0) > 0) {
  }
}

void DestroyWaker(Waker* waker) {
  (void)::closesocket(waker->socket);
  std::free(waker);
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

int ShutdownSending(Socket s) { return Result(::shutdown(ToHandle(s), SD_SEND)); }

int TuneConnection(Socket s, int sendBufferBytes, int idleSeconds, int intervalSeconds,
                   int probes) {
  // The keepalive timings at IPPROTO_TCP exist from Windows 10 (1703 and 1709); older systems
  // refuse them and keep their own. SIO_KEEPALIVE_VALS would need WSAIoctl from ws2_32.
  constexpr int kKeepIdle = 3;
  constexpr int kKeepCount = 16;
  constexpr int kKeepInterval = 17;
  const DWORD on = 1;
  const struct {
    int level, name;
    DWORD value;
  } options[] = {{SOL_SOCKET, SO_SNDBUF, static_cast<DWORD>(sendBufferBytes)},
                 {SOL_SOCKET, SO_KEEPALIVE, on},
                 {IPPROTO_TCP, kKeepIdle, static_cast<DWORD>(idleSeconds)},
                 {IPPROTO_TCP, kKeepInterval, static_cast<DWORD>(intervalSeconds)},
                 {IPPROTO_TCP, kKeepCount, static_cast<DWORD>(probes)}};
  int result = 0;
  for (const auto& option : options) {
    if (::setsockopt(ToHandle(s), option.level, option.name,
                     reinterpret_cast<const char*>(&option.value), sizeof option.value) != 0) {
      result = -1;
    }
  }
  return result;
}

bool StandardErrorTakesNow() {
  // The handle stdio's stderr writes to, wherever descriptor 2 was moved.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(2));
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ||
         GetFileType(handle) != FILE_TYPE_PIPE;
}

bool StartThread(void (*function)(void*), void* argument, std::size_t stackBytes) {
  if (QC_FAULT(kThread)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  auto* record = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (record == nullptr) return false;
  *record = ThreadStart{function, argument};
  // The size is the stack's whole reservation, not the host executable's default (1 or 2 MiB),
  // which would let a 32-bit host run out of address space long before its threads are many.
  HANDLE thread = CreateThread(nullptr, stackBytes, ThreadMain, record,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    std::free(record);
    return false;
  }
  // Nobody waits for or joins a thread: it runs detached.
  (void)CloseHandle(thread);
  return true;
}

Mutex* CreateRecursiveMutex() {
  if (QC_FAULT(kMutex)) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
  }
  // Win32 mutexes are recursive for their owner by nature.
  HANDLE handle = CreateMutexA(nullptr, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  auto* mutex = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
  if (mutex == nullptr) {
    (void)CloseHandle(handle);
    return nullptr;
  }
  mutex->handle = handle;
  return mutex;
}

void DestroyRecursiveMutex(Mutex* mutex) {
  (void)CloseHandle(mutex->handle);
  std::free(mutex);
}

void LockRecursiveMutex(Mutex* mutex) { (void)WaitForSingleObject(mutex->handle, INFINITE); }

void UnlockRecursiveMutex(Mutex* mutex) { (void)ReleaseMutex(mutex->handle); }

void* AllocatePages(std::size_t bytes) {
  if (QC_FAULT(kPages)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Committed pages are zero-filled and take no physical memory until first written.
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* block, std::size_t /*bytes*/) {
  if (block != nullptr) (void)VirtualFree(block, 0, MEM_RELEASE);
}

std::size_t FormatTextV(char* dst, std::size_t capacity, const char* format, std::va_list args) {
  // msvcrt's own formatter: MinGW's C99 replacement would read msvcrt data through an import
  // that only the C runtime's start-up code patches, and the DLL runs without it.
  // _vsnprintf writes no NUL when the text does not fit, and then returns -1.
  dst[capacity - 1] = '\0';
  const int written = ::_vsnprintf(dst, capacity - 1, format, args);
  if (written < 0 || static_cast<std::size_t>(written) >= capacity - 1) {
    dst[capacity - 1] = '\0';
    return std::strlen(dst);
  }
  dst[written] = '\0';
  return static_cast<std::size_t>(written);
}

std::int64_t MonotonicMillis() { return static_cast<std::int64_t>(GetTickCount64()); }

TimeOfDay LocalTimeOfDay() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wHour, now.wMinute, now.wSecond};
}

// A bare file name makes the profile functions look in the Windows directory.

int ReadProfileInt(const char* section, const char* key, int fallback, const char* fileName) {
  if (QC_FAULT(kProfile)) {  // as a file that cannot be read: the default
    SetLastError(ERROR_ACCESS_DENIED);
    return fallback;
  }
  // The value comes back as UINT; a negative number in the file reads back as itself.
  return static_cast<int>(GetPrivateProfileIntA(section, key, fallback, fileName));
}

int ReadProfileString(const char* section, const char* key, const char* fallback, char* out,
                      std::size_t capacity, const char* fileName) {
  if (capacity == 0) return 0;
  if (QC_FAULT(kProfile)) {
    SetLastError(ERROR_ACCESS_DENIED);
    std::size_t length = 0;
    for (; fallback[length] != '\0' && length + 1 < capacity; ++length)
      out[length] = fallback[length];
    out[length] = '\0';
    return static_cast<int>(length);
  }
  const DWORD size = capacity > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(capacity);
  return static_cast<int>(GetPrivateProfileStringA(section, key, fallback, out, size, fileName));
}

}  // namespace qc::platform
