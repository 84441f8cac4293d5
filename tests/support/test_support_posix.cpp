// POSIX pieces of the test helpers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace qc::test::os {
namespace {

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

int ConnectLoopback(std::uint16_t port, const char* from, const char* to) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  if (from != nullptr) {
    sockaddr_in source = LoopbackAddress(0);
    ::inet_pton(AF_INET, from, &source.sin_addr);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
      ::close(s);
      return -1;
    }
  }
  sockaddr_in address = LoopbackAddress(port);
  if (to != nullptr) ::inet_pton(AF_INET, to, &address.sin_addr);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

int SendBytes(int s, const char* data, int length) {
  const ssize_t n = ::send(s, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveWithin(int s, char* buffer, int capacity, int millis) {
  pollfd entry{s, POLLIN, 0};
  const int ready = ::poll(&entry, 1, millis);
  if (ready == 0) return -2;
  if (ready < 0) return -1;
  const ssize_t n = ::recv(s, buffer, static_cast<std::size_t>(capacity), 0);
  return n < 0 ? -1 : static_cast<int>(n);
}

void ResetAndClose(int s) {
  linger option{1, 0};
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(s);
}

void Close(int s) { ::close(s); }

void ShutdownSending(int s) { ::shutdown(s, SHUT_WR); }

long HeldResources() {
  const struct mallinfo2 heap = ::mallinfo2();
  return static_cast<long>(heap.uordblks + heap.hblkhd);
}

void RaiseDescriptorLimit() {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

bool ReusesAddress(int s) {
  int on = 0;
  socklen_t length = sizeof on;
  return ::getsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, &length) == 0 && on != 0;
}

const bool kListenSocketsReuseAddress = true;

// POSIX has no such option; a bind there never takes a port another socket listens on.
bool ExcludesOtherBinds(int /*s*/) { return false; }
const bool kListenSocketsExcludeOtherBinds = false;

bool ChildrenInherit(int s) {
  const int flags = ::fcntl(s, F_GETFD);
  return flags < 0 || (flags & FD_CLOEXEC) == 0;
}

int ListenLoopback(std::uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  const int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = LoopbackAddress(port);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, 16) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

int AcceptOne(int listening) { return ::accept(listening, nullptr, nullptr); }

int RedirectStderr(const std::string& path) {
  const int saved = ::dup(2);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, 2);
  ::close(fd);
  return saved;
}

void RestoreStderr(int savedFd) {
  if (savedFd < 0) return;
  ::dup2(savedFd, 2);
  ::close(savedFd);
}

std::string TempFilePath(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/qc_" + stem + "_" +
         std::to_string(::getpid());
}

std::string ProfilePath() {
  // A fresh working directory per test process: the library reads its profile from there.
  static const std::string directory = [] {
    std::string pattern = TempFilePath("work") + "_XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (made != nullptr) (void)::chdir(made);
    return std::string(made != nullptr ? made : ".");
  }();
  return directory + "/quillaret_console.ini";
}

void SleepMillis(int millis) { std::this_thread::sleep_for(std::chrono::milliseconds(millis)); }

bool StderrTranslatesLineEnds() { return false; }

bool UseTimeZone(const char* zone) {
  if (::setenv("TZ", zone, 1) != 0) return false;
  ::tzset();
  return true;
}

}  // namespace qc::test::os

namespace qc::test {

FullStandardError::FullStandardError() {
  if (::pipe(ends_) != 0) return;
  const int pipeBytes = ::fcntl(ends_[1], F_SETPIPE_SZ, 4096);
  if (pipeBytes <= 0) return;
  fill_.assign(static_cast<std::size_t>(pipeBytes), '-');
  if (::write(ends_[1], fill_.data(), fill_.size()) != pipeBytes) return;
  std::fflush(stderr);
  savedFd_ = ::dup(2);
  ::dup2(ends_[1], 2);
}

FullStandardError::~FullStandardError() {
  Restore();
  for (int end : ends_) {
    if (end >= 0) ::close(end);
  }
}

void FullStandardError::Restore() {
  if (savedFd_ < 0) return;
  ::dup2(savedFd_, 2);
  ::close(savedFd_);
  savedFd_ = -1;
}

std::string FullStandardError::ReadUntil(const std::string& needle,
                                         const std::function<void(const std::string&)>& each,
                                         int millis) {
  std::string read;
  char buffer[4096];
  for (int reads = 0; reads < 1000 && read.find(needle) == std::string::npos; ++reads) {
    pollfd entry{ends_[0], POLLIN, 0};
    if (::poll(&entry, 1, millis) != 1) break;
    const ssize_t n = ::read(ends_[0], buffer, sizeof buffer);
    if (n <= 0) break;
    read.append(buffer, static_cast<std::size_t>(n));
    if (each) each(read);
  }
  return read;
}

}  // namespace qc::test
