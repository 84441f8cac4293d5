// Helpers of the load program; see load_support.h.
#include "load/load_support.h"
// The loader's definitions, compiled once for the load program.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace qc::load {
namespace {

std::string g_scratchDirectory;
std::string g_previousDirectory;

constexpr const char* kProfileFile = "quillaret_console.ini";
constexpr std::int64_t kNanosPerMilli = 1000000;

void SetTimeLimits(int s, int millis) {
  timeval limit{millis / 1000, (millis % 1000) * 1000};
  (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// The state letter of one task from /proc/self/task/<tid>/stat ('R' running, 'S' asleep ...),
// or 0 when it cannot be read (the task may have ended).
char TaskState(int tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  char text[512];
  const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';
  const char* close = std::strrchr(text, ')');  // the name may hold spaces and parentheses
  return (close != nullptr && close[1] == ' ') ? close[2] : 0;
}

// One connect attempt within millis: the socket, made blocking, or -1 (refused is told apart for
// a retry).
int ConnectOnce(int port, const char* source, int receiveBuffer, int millis, bool& refused) {
  const int s = ClientSocket(receiveBuffer, source);
  const sockaddr_in address = LoopbackAddress(static_cast<std::uint16_t>(port));
  pollfd entry{s, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  const bool connected =
      s >= 0 && (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                 (errno == EINPROGRESS && poll(&entry, 1, millis) == 1 &&
                  getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0));
  refused = !connected && (errno == ECONNREFUSED || error == ECONNREFUSED);
  if (!connected) {
    CloseSocket(s);
    return -1;
  }
  (void)fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
  return s;
}

}  // namespace

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

int ClientSocket(int receiveBuffer, const char* source) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  if (receiveBuffer > 0) {
    (void)setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  const int on = 1;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (source != nullptr &&
      (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
       bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)) {
    close(s);
    return -1;
  }
  return s;
}

std::int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

int Fail(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
  return 1;
}

void ReportFigure(const std::string& name, double value) {
  std::printf("figure %s %.6g\n", name.c_str(), value);
  std::fflush(stdout);
}

bool ForEachTask(int pid, const std::function<bool(int)>& act) {
  DIR* directory = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (directory == nullptr) return false;
  bool done = true;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.' && !act(std::atoi(entry->d_name))) done = false;
  }
  closedir(directory);
  return done;
}

bool WaitUntilQuiet(int millis) {
  const int self = static_cast<int>(gettid());
  return WaitFor(millis, 5000, [&] {
    return ForEachTask(getpid(), [&](int task) { return task == self || TaskState(task) != 'R'; });
  });
}

int CountListeningPorts(int firstPort, int count) {
  // Inodes of the sockets among this process's descriptors.
  std::vector<unsigned long> own;
  if (DIR* descriptors = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(descriptors)) {
      char path[320], target[64];
      std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
      const ssize_t n = readlink(path, target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      unsigned long inode = 0;
      if (std::sscanf(target, "socket:[%lu]", &inode) == 1) own.push_back(inode);
    }
    closedir(descriptors);
  }
  std::sort(own.begin(), own.end());
  // Rows of /proc/net/tcp: "sl: local:port remote:port state ... uid timeout inode ...".
  constexpr unsigned kListenState = 0x0A;
  std::vector<bool> seen(static_cast<std::size_t>(count), false);
  int listening = 0;
  std::FILE* table = std::fopen("/proc/self/net/tcp", "r");
  if (table == nullptr) return 0;
  char row[512];
  while (std::fgets(row, sizeof row, table) != nullptr) {
    unsigned port = 0, state = 0;
    unsigned long inode = 0;
    if (std::sscanf(row, " %*d: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*d %lu", &port, &state,
                    &inode) != 3) {
      continue;  // the heading
    }
    const long index = static_cast<long>(port) - firstPort;
    if (state != kListenState || index < 0 || index >= count) continue;
    const auto slot = static_cast<std::size_t>(index);
    if (seen[slot] || !std::binary_search(own.begin(), own.end(), inode)) continue;
    seen[slot] = true;
    ++listening;
  }
  std::fclose(table);
  return listening;
}

bool LoadLibrary(const std::string& path, loader::ConsoleApi& api) {
  std::string error;
  if (loader::LoadConsoleLibrary(path, api, error)) return true;
  std::fprintf(stderr, "qc_host_load: %s\n", error.c_str());
  return false;
}

bool SpawnInProcess(const Options& options, loader::ConsoleApi& api, unsigned goid,
                    const char* name, int port, const std::string& extraLines) {
  if (!LoadLibrary(options.library, api)) return false;
  std::string templateName = name;
  const bool spawned =
      EnterScratchDirectory(port, extraLines) && api.SpawnServer(goid, templateName.data());
  LeaveScratchDirectory();
  if (!spawned) std::fprintf(stderr, "%s: cannot spawn the console on port %d\n", name, port);
  return spawned;
}

bool EnterScratchDirectory(int basePort, const std::string& extraLines) {
  char previous[4096];
  if (getcwd(previous, sizeof previous) == nullptr) return false;
  char directory[] = "/tmp/qc-host-load-XXXXXX";
  if (mkdtemp(directory) == nullptr || chdir(directory) != 0) return false;
  g_previousDirectory = previous;
  g_scratchDirectory = directory;
  std::ofstream profile(kProfileFile, std::ios::binary);
  profile << "[QCServer]\nBasePort=" << basePort << "\n" << extraLines;
  return static_cast<bool>(profile);
}

void LeaveScratchDirectory() {
  if (g_scratchDirectory.empty()) return;
  (void)std::remove(kProfileFile);
  if (chdir(g_previousDirectory.c_str()) == 0) (void)rmdir(g_scratchDirectory.c_str());
  g_scratchDirectory.clear();
}

int ListenLoopback(std::uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  const int on = 1;
  (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = LoopbackAddress(port);
  if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 128) != 0) {
    close(s);
    return -1;
  }
  return s;
}

int MillisLeft(std::int64_t deadline) {
  const std::int64_t left = (deadline - NowNanos()) / kNanosPerMilli;
  return left < 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, 1000000));
}

int ConnectFrom(int port, const char* source, int receiveBuffer, int millis) {
  // A console that has just been spawned may not listen yet: refusals are tried again.
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kNanosPerMilli;
  for (;;) {
    bool refused = false;
    const int s =
        ConnectOnce(port, source, receiveBuffer, std::max(MillisLeft(deadline), 1), refused);
    if (s >= 0 || !refused || NowNanos() >= deadline) return s;
    SleepUntil(std::min(deadline, NowNanos() + 5 * kNanosPerMilli));
  }
}

std::size_t SendUntil(int s, const char* data, std::size_t length, std::int64_t deadline) {
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = send(s, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (NowNanos() >= deadline) break;
    pollfd entry{s, POLLOUT, 0};
    (void)poll(&entry, 1, std::min(MillisLeft(deadline), 50));
  }
  return sent;
}

void SleepUntil(std::int64_t deadline, const std::atomic<bool>* stop) {
  while (NowNanos() < deadline && (stop == nullptr || !stop->load())) {
    const std::int64_t step = std::min<std::int64_t>(deadline - NowNanos(), 10 * kNanosPerMilli);
    if (step > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(step));
  }
}

int ConnectLoopback(std::uint16_t port, int millis) {
  const int s = ConnectFrom(port, nullptr, 0, millis);
  if (s >= 0) SetTimeLimits(s, 10000);
  return s;
}

int AcceptWithin(int listening, int millis) {
  pollfd entry{listening, POLLIN, 0};
  if (poll(&entry, 1, millis) <= 0) return -1;
  const int s = accept(listening, nullptr, nullptr);
  if (s >= 0) SetTimeLimits(s, 10000);
  return s;
}

bool SendWhole(int s, const char* data, std::size_t length) {
  std::size_t sent = 0;
  while (sent < length) {
    const ssize_t n = send(s, data + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadLine(int s, std::string& line) {
  line.clear();
  char buffer[4096];
  while (line.empty() || line.back() != '\n') {
    const ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // closed, failed, or the receive time limit passed
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

void CloseSocket(int s, bool reset) {
  if (s < 0) return;
  if (reset) {
    const linger abort{1, 0};
    (void)setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  close(s);
}

void WriteLocalTimestamp(char* out) {
  const std::time_t now = std::time(nullptr);
  std::tm local;
  if (localtime_r(&now, &local) == nullptr) local = std::tm{};
  const int fields[3] = {local.tm_hour, local.tm_min, local.tm_sec};
  for (int i = 0; i < 3; ++i) {
    out[i * 3] = static_cast<char>('0' + fields[i] / 10 % 10);
    out[i * 3 + 1] = static_cast<char>('0' + fields[i] % 10);
    if (i < 2) out[i * 3 + 2] = ':';
  }
}

bool TakeConnectedNotices(const loader::ConsoleApi& api, unsigned goid, int count) {
  int connected = 0;
  return WaitFor(20000, 1000, [&] {
    for (std::string text; !(text = api.GetNextMessage(goid)).empty();) {
      if (text.find(" connected (") != std::string::npos) ++connected;
    }
    return connected >= count;
  });
}

bool LineReader::Next(std::string& line, int millis) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kNanosPerMilli;
  for (;;) {
    const std::size_t feed = pending_.find('\n');
    if (feed != std::string::npos) {
      line = pending_.substr(0, feed + 1);
      pending_.erase(0, feed + 1);
      return true;
    }
    if (ended_ || socket_ < 0) return false;
    pollfd entry{socket_, POLLIN, 0};
    const int ready = poll(&entry, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[65536];
    const ssize_t n = read(socket_, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool LineReader::Find(const std::string& text, int millis, std::string* found) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kNanosPerMilli;
  std::string line;
  while (Next(line, MillisLeft(deadline))) {
    if (line.find(text) != std::string::npos) {
      if (found != nullptr) *found = line;
      return true;
    }
  }
  return false;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Finish(0);
  CloseSocket(input_);
  CloseSocket(output_.Socket());
  CloseSocket(unreadError_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& errorFile) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  int error[2] = {-1, -1};
  if (errorFile == "|" && pipe2(error, O_CLOEXEC) != 0) return false;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (error[1] >= 0) {
      dup2(error[1], STDERR_FILENO);
    } else if (!errorFile.empty()) {
      const int file = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (file >= 0) dup2(file, STDERR_FILENO);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  CloseSocket(error[1]);
  unreadError_ = error[0];  // kept open and never read: the child's writes fill it and wait
  input_ = in[1];
  output_.Reset(out[0]);
  if (pid_ < 0) return false;
  signal(SIGPIPE, SIG_IGN);  // a child that has ended fails the write instead
  return true;
}

bool ChildProcess::Send(const std::string& command) {
  const std::string line = command + "\n";
  return write(input_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

bool ChildProcess::NextLine(int millis, std::string& line) {
  if (!output_.Next(line, millis)) return false;
  line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows program's line end
  return true;
}

bool ChildProcess::Expect(const std::string& prefix, int millis, std::string& line) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kNanosPerMilli;
  while (NextLine(MillisLeft(deadline), line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

bool ChildProcess::Finish(int millis) {
  if (pid_ <= 0) return false;
  CloseSocket(input_);  // a child that reads its input sees the end
  input_ = -1;
  int status = 0;
  pid_t done = 0;
  if (!WaitFor(millis, 10000, [&] { return (done = waitpid(pid_, &status, WNOHANG)) != 0; })) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return done > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double WordValue(const std::string& line, const std::string& key) {
  const std::string wanted = " " + key + "=";
  const std::size_t at = (" " + line).find(wanted);
  if (at == std::string::npos) return -1;
  return std::atof(line.c_str() + at + wanted.size() - 1);
}

}  // namespace qc::load
