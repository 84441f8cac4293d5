// quillaret-attach's operating-system layer on POSIX: BSD sockets with poll, termios.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "client/core/platform.h"
#include "client/core/resolve.h"

namespace qc::attach {
namespace {

volatile std::sig_atomic_t interrupted = 0;
bool interruptStopsWaits = false;

void OnInterrupt(int) { interrupted = 1; }

int WaitFor(int fd, short events, int millis) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int result = poll(&entry, 1, millis);
    if (result < 0 && errno == EINTR) {
      if (WaitInterrupted()) return 0;
      continue;  // a window resize, for one
    }
    return result;
  }
}

}  // namespace

bool StartNetwork() { return true; }

Connection ConnectTo(const std::string& host, std::uint16_t port, int millis) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (!ResolveIpv4(host, target.sin_addr)) return kNoConnection;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoConnection;
  // Connect without blocking, so that an unanswered address costs millis at most.
  const int flags = fcntl(fd, F_GETFL);
  (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int result = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
  if (result != 0 && errno == EINPROGRESS && WaitFor(fd, POLLOUT, millis) > 0) {
    int error = 0;
    socklen_t length = sizeof error;
    result = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0 ? 0 : -1;
  }
  if (result != 0) {
    close(fd);
    return kNoConnection;
  }
  (void)fcntl(fd, F_SETFL, flags);
  // Typed lines are small; each goes out at once.
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string LocalAddress(Connection connection) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(static_cast<int>(connection), reinterpret_cast<sockaddr*>(&local), &length) !=
      0) {
    return "";
  }
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
}

bool SendAllBytes(Connection connection, const char* bytes, std::size_t length, int millis) {
  const int fd = static_cast<int>(connection);
  while (length > 0) {
    const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes += sent;
      length -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, millis) > 0) {
      continue;
    }
    return false;
  }
  return true;
}

int ReceiveBytes(Connection connection, char* buffer, std::size_t capacity, int millis) {
  const int fd = static_cast<int>(connection);
  const int ready = WaitFor(fd, POLLIN, millis);
  if (ready == 0) return 0;
  if (ready < 0) return -1;
  for (;;) {
    const ssize_t received = recv(fd, buffer, capacity, MSG_DONTWAIT);
    if (received > 0) return static_cast<int>(received);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;  // the end of the stream, or a failure
  }
}

void CloseConnection(Connection connection) { close(static_cast<int>(connection)); }

std::int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PauseMillis(int millis) { std::this_thread::sleep_for(std::chrono::milliseconds(millis)); }

bool IsTerminal(int stream) { return isatty(stream) == 1; }

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string UserStateFolder() {
  const std::string state = EnvironmentValue("XDG_STATE_HOME");
  if (!state.empty() && state[0] == '/') return state;  // relative paths are to be ignored
  const std::string home = EnvironmentValue("HOME");
  return home.empty() ? "" : home + "/.local/state";
}

bool MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return !file.bad();
}

bool AppendToFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const ssize_t written = write(fd, bytes.data(), bytes.size());
  const bool closed = close(fd) == 0;
  return written == static_cast<ssize_t>(bytes.size()) && closed;
}

bool ReplaceWholeFile(const std::string& path, const std::string& bytes) {
  const std::string fresh = path + ".new";
  const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const ssize_t written = write(fd, bytes.data(), bytes.size());
  const bool closed = close(fd) == 0;
  if (written != static_cast<ssize_t>(bytes.size()) || !closed ||
      rename(fresh.c_str(), path.c_str()) != 0) {
    (void)unlink(fresh.c_str());
    return false;
  }
  return true;
}

std::string SystemProfilePath() { return ""; }

bool ReadSecret(const char* prompt, std::string& secret) {
  // The terminal itself, so that a script on standard input can still be given a password.
  const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  termios saved{};
  const bool terminal = tcgetattr(fd, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    (void)tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  (void)!write(fd, prompt, std::strlen(prompt));
  secret.clear();
  bool ended = false;
  for (char c; !ended;) {
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR && !Interrupted()) continue;  // Ctrl-C gives up
    if (n <= 0) break;
    if (c == '\n' || c == '\r') {
      ended = true;
    } else {
      secret += c;
    }
  }
  if (terminal) (void)tcsetattr(fd, TCSAFLUSH, &saved);
  (void)!write(fd, "\n", 1);
  close(fd);
  return ended;
}

bool IsForeignTerminal(int) { return false; }

bool EnableColourOutput() { return true; }

void CatchInterrupt(bool stopWaits) {
  interruptStopsWaits = stopWaits;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait in poll() ends with EINTR
  (void)sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() { return interrupted != 0; }

bool WaitInterrupted() { return interruptStopsWaits && interrupted != 0; }

void ClearInterrupt() { interrupted = 0; }

std::string LocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = {};
  if (localtime_r(&now, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "0000-00-00 00:00:00";
  }
  return text;
}

}  // namespace qc::attach
