// Helpers of the load program; see load_support.h.
#include "load/load_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>
#include <vector>

namespace qc::load {
namespace {

std::string g_scratchDirectory;
std::string g_previousDirectory;

constexpr const char* kProfileFile = "quillaret_console.ini";

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

void SetTimeLimits(int s, int millis) {
  timeval limit{millis / 1000, (millis % 1000) * 1000};
  (void)setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// The state letter of one task from /proc/self/task/<tid>/stat ('R' running, 'S' asleep ...),
// or 0 when it cannot be read (the task may have ended).
char TaskState(const char* tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%s/stat", tid);
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  char text[512];
  const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[n] = '\0';
  const char* close = std::strrchr(text, ')');  // the name may hold spaces and parentheses
  return (close != nullptr && close[1] == ' ') ? close[2] : 0;
}

}  // namespace

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

void ReportFigure(const std::string& name, double value) {
  std::printf("figure %s %.6g\n", name.c_str(), value);
  std::fflush(stdout);
}

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") {
      int count = -1;
      status >> count;
      return count;
    }
  }
  return -1;
}

long ResidentKiB() {
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string key;
  while (rollup >> key) {
    if (key == "Rss:") {
      long kib = -1;
      rollup >> kib;
      return kib;
    }
  }
  return -1;
}

bool WaitForThreads(int count, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    if (ThreadCount() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool WaitUntilQuiet(int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  char self[32];
  std::snprintf(self, sizeof self, "%ld", static_cast<long>(gettid()));
  for (;;) {
    bool quiet = true;
    if (DIR* tasks = opendir("/proc/self/task")) {
      while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.' || std::strcmp(entry->d_name, self) == 0) continue;
        if (TaskState(entry->d_name) == 'R') {
          quiet = false;
          break;
        }
      }
      closedir(tasks);
    }
    if (quiet) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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
    if (std::sscanf(row, " %*d: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*d %lu", &port,
                    &state, &inode) != 3) {
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

int ConnectLoopback(std::uint16_t port, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const int on = 1;
      (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      SetTimeLimits(s, 10000);
      return s;
    }
    close(s);
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
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

void CloseSocket(int s) {
  if (s >= 0) close(s);
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
  const std::int64_t deadline = NowNanos() + std::int64_t{20000} * 1000000;
  int connected = 0;
  while (NowNanos() < deadline) {
    const std::string text = api.GetNextMessage(goid);
    if (text.find(" connected (") != std::string::npos) ++connected;
    if (text.empty()) {
      if (connected >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return false;
}

}  // namespace qc::load
