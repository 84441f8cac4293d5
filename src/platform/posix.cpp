// POSIX implementation of the platform layer: BSD sockets, pthreads, localtime_r, and the
// portable profile reader over a file in the current working directory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cstdlib>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/profile_reader.h"

// Pages from mmap are not the heap, so the leak checker of a sanitizer build does not look in
// them for pointers unless told: every block that a console's loop holds would look leaked.
#if defined(__SANITIZE_ADDRESS__)
#define QC_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define QC_LEAK_CHECKED 1
#endif
#endif
#ifdef QC_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

namespace qc::platform {

struct Mutex {
  pthread_mutex_t handle;
};

namespace {

struct ThreadStart {
  void (*function)(void*);
  void* argument;
};

void* ThreadMain(void* start) {
  const ThreadStart record = *static_cast<ThreadStart*>(start);
  std::free(start);
  record.function(record.argument);
  return nullptr;
}

int Result(int r) { return r < 0 ? -1 : r; }

int SetNonBlocking(int s) {
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return -1;  // GCOVR_EXCL_BR_LINE: fails only for a descriptor naming nothing
  return Result(::fcntl(s, F_SETFL, flags | O_NONBLOCK));
}

}  // namespace

int StartSocketLibrary() { return 0; }

Socket CreateTcpSocket() {
  if (QC_FAULT(kSocket)) {
    errno = EMFILE;
    return -1;
  }
  // Close-on-exec from the start: a child process the host starts must not keep a console's
  // port or connections open after the console has let them go.
  return Result(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

int EnableAddressReuse(Socket s) {
  const int on = 1;
  return Result(::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
}

int BindTo(Socket s, std::uint32_t ipv4, std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ipv4);
  address.sin_port = htons(port);
  if (QC_FAULT(kBind)) {
    errno = EADDRINUSE;
    return -1;
  }
  return Result(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int ListenOn(Socket s, int backlog) {
  if (QC_FAULT(kListen)) {
    errno = EADDRINUSE;
    return -1;
  }
  if (::listen(s, backlog) != 0) return -1;
  return SetNonBlocking(s) < 0 ? -1 : 0;  // GCOVR_EXCL_BR_LINE: cannot fail for our own socket
}

Socket AcceptConnection(Socket listening) {
  sockaddr_in address;
  socklen_t length = sizeof address;
  if (QC_FAULT(kAccept)) {
    errno = EMFILE;
    return kAcceptAgain;
  }
  // Non-blocking and close-on-exec in the same call, so that no child process started by
  // another thread meanwhile inherits the connection.
  const int s = ::accept4(listening, reinterpret_cast<sockaddr*>(&address), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s >= 0) return s;
  switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kAcceptNone;
    case EMFILE:  // out of descriptors or memory, for now
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return kAcceptAgain;
    case EINTR:         // a signal delivered to this thread is the host's business
    case ECONNABORTED:  // the connection went away before it was taken
    case EPROTO:
    case EPERM:  // a firewall rule refused this connection
    // Linux hands pending network errors of the new connection to accept.
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return kAcceptSkipped;
    default:
      return -1;
  }
}

int SendSomeNow(Socket s, const char* data, int length) {
  if (QC_FAULT(kSend)) {
    errno = EPIPE;
    return -1;
  }
  for (;;) {
    const ssize_t sent =
        ::send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) return static_cast<int>(sent);
    if (sent == 0) return kWouldBlock;  // GCOVR_EXCL_BR_LINE: no empty block is ever sent
    if (errno == EINTR) continue;       // GCOVR_EXCL_LINE: MSG_DONTWAIT never sleeps
    if (errno == ECONNRESET) return kPeerReset;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  }
}

int ReceiveSomeNow(Socket s, char* buffer, int capacity) {
  if (QC_FAULT(kReceive)) {
    errno = ECONNRESET;
    return -1;
  }
  for (;;) {
    const ssize_t received = ::recv(s, buffer, static_cast<std::size_t>(capacity), MSG_DONTWAIT);
    if (received >= 0) return static_cast<int>(received);
    if (errno == EINTR) continue;  // GCOVR_EXCL_LINE: MSG_DONTWAIT never sleeps
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : -1;
  }
}

// poll() rather than select(): an fd_set cannot name a descriptor at or above FD_SETSIZE, and
// a host process with many consoles open easily has more descriptors than that.
int WaitForEvents(PollEntry* entries, int count, int millis) {
  if (count < 0 || count > kMaxPollEntries) return -1;
  pollfd fds[kMaxPollEntries];
  for (int i = 0; i < count; ++i) {
    const short events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                            (entries[i].wantWrite ? POLLOUT : 0));
    fds[i] = pollfd{entries[i].socket, events, 0};
    entries[i].isReadable = false;
    entries[i].isWritable = false;
  }
  if (QC_FAULT(kWait)) {
    errno = ENOMEM;
    return -1;
  }
  const int ready = ::poll(fds, static_cast<nfds_t>(count), millis < 0 ? -1 : millis);
  // A signal meant for the host cuts the wait short; the caller works out its time again.
  if (ready < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < count; ++i) {
    const short got = fds[i].revents;
    // poll() reports a descriptor that names nothing as an event, where select() and Winsock
    // fail the wait.
    if ((got & POLLNVAL) != 0) return -1;
    // A hang-up or an error is for the receive (or the send) to find out.
    entries[i].isReadable = entries[i].wantRead && (got & (POLLIN | POLLHUP | POLLERR)) != 0;
    entries[i].isWritable = entries[i].wantWrite && (got & (POLLOUT | POLLHUP | POLLERR)) != 0;
  }
  return ready;
}

struct Waker {
  int readEnd;
  int writeEnd;
};

Waker* CreateWaker() {
  if (QC_FAULT(kWake)) {
    errno = EMFILE;
    return nullptr;
  }
  auto* waker = static_cast<Waker*>(std::malloc(sizeof(Waker)));
  if (waker == nullptr) return nullptr;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::free(waker);
    return nullptr;
  }
  *waker = Waker{ends[0], ends[1]};
  return waker;
}

Socket WakerSocket(const Waker* waker) { return waker->readEnd; }

bool SignalWaker(Waker* waker) {
  if (QC_FAULT(kWake)) {
    errno = EIO;
    return false;
  }
  const char byte = 1;
  for (;;) {
    if (::write(waker->writeEnd, &byte, 1) == 1) return true;
    if (errno == EINTR) continue;  // GCOVR_EXCL_LINE: a non-blocking write never sleeps
    // A full pipe is readable already: the signal is there.
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void DrainWaker(Waker* waker) {
  char bytes[64];
  for (;;) {
    const ssize_t n = ::read(waker->readEnd, bytes, sizeof bytes);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;  // GCOVR_EXCL_LINE: a non-blocking read never sleeps
    return;
  }
}

void DestroyWaker(Waker* waker) {
  (void)::close(waker->readEnd);
  (void)::close(waker->writeEnd);
  std::free(waker);
}

int PeerAddress(Socket s, std::uint8_t octets[4]) {
  sockaddr_in address;
  socklen_t length = sizeof address;
  std::memset(&address, 0, sizeof address);
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return -1;
  }
  std::memcpy(octets, &address.sin_addr.s_addr, 4);  // network order: first octet first
  return 0;
}

int CloseSocket(Socket s) { return Result(::close(s)); }

int ShutdownSending(Socket s) { return Result(::shutdown(s, SHUT_WR)); }

int TuneConnection(Socket s, int sendBufferBytes, int idleSeconds, int intervalSeconds,
                   int probes) {
  const int on = 1;
  const struct {
    int level, name, value;
  } options[] = {{SOL_SOCKET, SO_SNDBUF, sendBufferBytes},
                 {SOL_SOCKET, SO_KEEPALIVE, on},
                 {IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds},
                 {IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds},
                 {IPPROTO_TCP, TCP_KEEPCNT, probes}};
  int result = 0;
  for (const auto& option : options) {
    if (::setsockopt(s, option.level, option.name, &option.value, sizeof option.value) != 0) {
      result = -1;
    }
  }
  return result;
}

bool StandardErrorTakesNow() {
  pollfd entry{STDERR_FILENO, POLLOUT, 0};
  // A pipe reported writable has a page free at least: a line of a diagnostic's length fits.
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) != 0;
}

bool StartThread(void (*function)(void*), void* argument, std::size_t stackBytes) {
  if (QC_FAULT(kThread)) {
    errno = EAGAIN;  // what pthread_create gives when the process may have no more threads
    return false;
  }
  auto* record = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (record == nullptr) return false;
  *record = ThreadStart{function, argument};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {  // GCOVR_EXCL_BR_LINE: glibc's never fails
    // GCOVR_EXCL_START: glibc's pthread_attr_init cannot fail
    std::free(record);
    return false;
    // GCOVR_EXCL_STOP
  }
  const std::size_t least = PTHREAD_STACK_MIN;
  pthread_t thread;
  const bool started =
      // GCOVR_EXCL_BR_START: callers ask for more than the least stack; both are accepted
      pthread_attr_setstacksize(&attributes, stackBytes < least ? least : stackBytes) == 0 &&
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
      // GCOVR_EXCL_BR_STOP
      pthread_create(&thread, &attributes, ThreadMain, record) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) std::free(record);
  return started;
}

Mutex* CreateRecursiveMutex() {
  if (QC_FAULT(kMutex)) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* mutex = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
  if (mutex == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  // GCOVR_EXCL_BR_START: glibc's attribute calls and a recursive mutex's init cannot fail
  bool ok = pthread_mutexattr_init(&attributes) == 0;
  ok = ok && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
       pthread_mutex_init(&mutex->handle, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!ok) {
    // GCOVR_EXCL_BR_STOP
    // GCOVR_EXCL_START: glibc's attribute calls and a recursive mutex's init cannot fail
    std::free(mutex);
    return nullptr;
    // GCOVR_EXCL_STOP
  }
  return mutex;
}

void DestroyRecursiveMutex(Mutex* mutex) {
  (void)pthread_mutex_destroy(&mutex->handle);
  std::free(mutex);
}

void LockRecursiveMutex(Mutex* mutex) { (void)pthread_mutex_lock(&mutex->handle); }

void UnlockRecursiveMutex(Mutex* mutex) { (void)pthread_mutex_unlock(&mutex->handle); }

void* AllocatePages(std::size_t bytes) {
  if (QC_FAULT(kPages)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
#ifdef QC_LEAK_CHECKED
  __lsan_register_root_region(block, bytes);
#endif
  return block;
}

void FreePages(void* block, std::size_t bytes) {
  if (block == nullptr) return;
#ifdef QC_LEAK_CHECKED
  __lsan_unregister_root_region(block, bytes);
#endif
  (void)::munmap(block, bytes);
}

std::size_t FormatTextV(char* dst, std::size_t capacity, const char* format, std::va_list args) {
  const int wanted = std::vsnprintf(dst, capacity, format, args);
  if (wanted < 0) {  // GCOVR_EXCL_BR_LINE: every format is the library's own
    // GCOVR_EXCL_START: only an invalid format fails, and every format is the library's own
    dst[0] = '\0';
    return 0;
    // GCOVR_EXCL_STOP
  }
  const auto length = static_cast<std::size_t>(wanted);
  return length < capacity ? length : capacity - 1;
}

std::int64_t MonotonicMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TimeOfDay LocalTimeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local;
  // GCOVR_EXCL_BR_START: the present time is always within the calendar's range
  if (localtime_r(&now, &local) == nullptr) return {0, 0, 0};
  // GCOVR_EXCL_BR_STOP
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

namespace {

// A profile is a few lines; what lies beyond this much of a file is not read.
constexpr std::size_t kProfileReadBytes = 64 * 1024;

// Looks the key up in the first kProfileReadBytes of the profile file; false when the file,
// section or key is missing, or no memory can be had to read it.
bool LookUpProfile(const char* section, const char* key, char* out, std::size_t capacity,
                   const char* fileName) {
  if (QC_FAULT(kProfile)) {
    errno = EACCES;
    return false;
  }
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return false;
  char* text = static_cast<char*>(std::malloc(kProfileReadBytes));
  const std::size_t length = text != nullptr ? std::fread(text, 1, kProfileReadBytes, file) : 0;
  std::fclose(file);
  const bool found = text != nullptr && FindProfileValue(text, length, section, key, out, capacity);
  std::free(text);
  return found;
}

}  // namespace

int ReadProfileInt(const char* section, const char* key, int fallback, const char* fileName) {
  char value[64];
  if (!LookUpProfile(section, key, value, sizeof value, fileName)) return fallback;
  return ParseProfileInt(value, fallback);
}

int ReadProfileString(const char* section, const char* key, const char* fallback, char* out,
                      std::size_t capacity, const char* fileName) {
  if (capacity == 0) return 0;
  if (!LookUpProfile(section, key, out, capacity, fileName)) {
    std::snprintf(out, capacity, "%s", fallback);
  }
  return static_cast<int>(std::strlen(out));
}

}  // namespace qc::platform
