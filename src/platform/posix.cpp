// POSIX implementation of the platform layer: BSD sockets, pthreads, localtime_r, and the
// portable profile reader over a file in the current working directory.
#include <arpa/inet.h>
#include <netinet/in.h>
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

#include "platform/platform.h"
#include "platform/profile_reader.h"

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

}  // namespace

int StartSocketLibrary() { return 0; }

Socket CreateTcpSocket() { return Result(::socket(AF_INET, SOCK_STREAM, 0)); }

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
  return Result(::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

int ListenOn(Socket s, int backlog) { return Result(::listen(s, backlog)); }

Socket AcceptConnection(Socket listening) {
  sockaddr_in address;
  socklen_t length = sizeof address;
  for (;;) {
    const int s = ::accept(listening, reinterpret_cast<sockaddr*>(&address), &length);
    if (s >= 0) return s;
    switch (errno) {
      case EINTR:  // a signal delivered to this thread is the host's business
        continue;
      case EMFILE:  // out of descriptors or memory, for now
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
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
        return kAcceptAgain;
      default:
        return -1;
    }
  }
}

namespace {

// poll() on one socket for events, for at most wait (a negative wait: without limit).
// poll() rather than select(): an fd_set cannot name a descriptor at or above FD_SETSIZE,
// and a host process with many consoles open easily has more descriptors than that.
int PollOne(Socket s, short events, std::chrono::microseconds wait) {
  using Clock = std::chrono::steady_clock;
  const bool limited = wait.count() >= 0;
  const auto deadline = Clock::now() + wait;
  for (;;) {
    int millis = -1;
    if (limited) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      const long long count = left.count() < 0 ? 0 : left.count();
      millis = count > 0x7fffffff ? 0x7fffffff : static_cast<int>(count);
    }
    pollfd entry{s, events, 0};
    const int waited = ::poll(&entry, 1, millis);
    // A signal meant for the host must not cut the wait short: the session would then receive
    // without any limit. Wait again for the time that is left.
    if (waited < 0 && errno == EINTR) continue;
    // poll() reports a descriptor that names nothing as an event (POLLNVAL), where select()
    // and Winsock fail the wait.
    if (waited > 0 && (entry.revents & POLLNVAL) != 0) return -1;
    return Result(waited);
  }
}

}  // namespace

int WaitForReadable(Socket s, const Timeout& timeout) {
  // The configured timeout is only read. A negative time fails, as select() would.
  if (timeout.seconds < 0 || timeout.micros < 0) return -1;
  return PollOne(s, POLLIN, std::chrono::seconds(timeout.seconds) +
                                std::chrono::microseconds(timeout.micros));
}

int WaitForWritable(Socket s, int millis) {
  return PollOne(s, POLLOUT, std::chrono::milliseconds(millis < 0 ? -1 : millis));
}

int SendSomeNow(Socket s, const char* data, int length) {
  for (;;) {
    const ssize_t sent =
        ::send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

int ReceiveSome(Socket s, char* buffer, int capacity) {
  for (;;) {
    const ssize_t received = ::recv(s, buffer, static_cast<std::size_t>(capacity), 0);
    if (received < 0 && errno == EINTR) continue;
    return received < 0 ? -1 : static_cast<int>(received);
  }
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

int ShutdownSocket(Socket s) { return Result(::shutdown(s, SHUT_RDWR)); }

int CloseSocket(Socket s) { return Result(::close(s)); }

bool StartThread(void (*function)(void*), void* argument, std::size_t stackBytes) {
  auto* record = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (record == nullptr) return false;
  *record = ThreadStart{function, argument};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    std::free(record);
    return false;
  }
  const std::size_t least = PTHREAD_STACK_MIN;
  pthread_t thread;
  const bool started =
      pthread_attr_setstacksize(&attributes, stackBytes < least ? least : stackBytes) == 0 &&
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
      pthread_create(&thread, &attributes, ThreadMain, record) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) std::free(record);
  return started;
}

void SuspendSelf() {
  for (;;) pause();
}

void SleepMillis(int millis) {
  timespec left{millis / 1000, static_cast<long>(millis % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

Mutex* CreateRecursiveMutex() {
  auto* mutex = static_cast<Mutex*>(std::malloc(sizeof(Mutex)));
  if (mutex == nullptr) return nullptr;
  pthread_mutexattr_t attributes;
  bool ok = pthread_mutexattr_init(&attributes) == 0;
  ok = ok && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
       pthread_mutex_init(&mutex->handle, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!ok) {
    std::free(mutex);
    return nullptr;
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
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void FreePages(void* block, std::size_t bytes) {
  if (block != nullptr) (void)::munmap(block, bytes);
}

std::size_t FormatTextV(char* dst, std::size_t capacity, const char* format, std::va_list args) {
  const int wanted = std::vsnprintf(dst, capacity, format, args);
  if (wanted < 0) {
    dst[0] = '\0';
    return 0;
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
  if (localtime_r(&now, &local) == nullptr) return {0, 0, 0};
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

namespace {

// A profile is a few lines; what lies beyond this much of a file is not read.
constexpr std::size_t kProfileReadBytes = 64 * 1024;

// Looks the key up in the first kProfileReadBytes of the profile file; false when the file,
// section or key is missing, or no memory can be had to read it.
bool LookUpProfile(const char* section, const char* key, char* out, std::size_t capacity,
                   const char* fileName) {
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return false;
  char* text = static_cast<char*>(std::malloc(kProfileReadBytes));
  const std::size_t length = text != nullptr ? std::fread(text, 1, kProfileReadBytes, file) : 0;
  std::fclose(file);
  const bool found =
      text != nullptr && FindProfileValue(text, length, section, key, out, capacity);
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
