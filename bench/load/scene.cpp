// Developers, fleets, scenes and the session host's answers; see scene.h.
#include "load/scene.h"

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <utility>

namespace qc::load {

Fleet::Fleet(int capacity, bool lines)
    : epoll_(epoll_create1(0)),
      lines_(lines),
      clients_(static_cast<std::size_t>(capacity)),
      buffer_(65536) {}

Fleet::~Fleet() {
  for (Client& client : clients_) CloseSocket(client.socket);
  CloseSocket(epoll_);
}

bool Fleet::Open(int id, std::uint16_t port, int receiveBuffer, const char* source) {
  const int s = ClientSocket(receiveBuffer, source);
  if (s < 0) return false;
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    close(s);
    return false;
  }
  return Adopt(id, s, true);
}

bool Fleet::Adopt(int id, int s, bool connecting) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  client = Client{};
  client.socket = s;
  client.connecting = connecting;
  epoll_event event{};
  event.events = connecting ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
  event.data.u32 = static_cast<std::uint32_t>(id);
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, s, &event) != 0) {
    close(s);
    client.socket = -1;
    return false;
  }
  return true;
}

// Asks epoll for what the client waits on now: the end of its connect, room for unsent bytes,
// and (unless paused) input.
void Fleet::Update(int id) {
  const Client& client = clients_[static_cast<std::size_t>(id)];
  epoll_event event{};
  event.data.u32 = static_cast<std::uint32_t>(id);
  if (client.connecting || !client.unsent.empty()) event.events |= EPOLLOUT;
  if (!client.connecting && !client.paused) event.events |= EPOLLIN | EPOLLRDHUP;
  (void)epoll_ctl(epoll_, EPOLL_CTL_MOD, client.socket, &event);
}

bool Fleet::Send(int id, const std::string& text) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0) return false;
  if (client.connecting || !client.unsent.empty()) {
    client.unsent += text;
    return false;
  }
  const ssize_t n = send(client.socket, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
  if (sent == text.size()) return true;
  client.unsent.assign(text, sent, std::string::npos);
  Update(id);
  return false;
}

void Fleet::Close(int id, bool reset) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0) return;
  (void)epoll_ctl(epoll_, EPOLL_CTL_DEL, client.socket, nullptr);
  CloseSocket(client.socket, reset);
  client = Client{};
}

void Fleet::Pause(int id, bool paused) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  if (client.socket < 0 || client.paused == paused) return;
  client.paused = paused;
  Update(id);
}

void Fleet::Drop(int id, bool reset, Events& events) {
  Close(id, false);
  events.Closed(id, reset);
}

void Fleet::Read(int id, Events& events) {
  Client& client = clients_[static_cast<std::size_t>(id)];
  const ssize_t n = recv(client.socket, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    Drop(id, n < 0, events);
    return;
  }
  events.Received(id, static_cast<std::size_t>(n));
  if (!lines_) return;
  const char* at = buffer_.data();
  const char* end = at + n;
  while (at < end) {
    const char* feed =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (feed == nullptr) {
      client.partial.append(at, end);
      return;
    }
    const int socket = client.socket;
    if (client.partial.empty()) {
      events.Line(id, at, static_cast<std::size_t>(feed + 1 - at));
    } else {
      client.partial.append(at, feed + 1);
      const std::string line = std::move(client.partial);
      client.partial.clear();
      events.Line(id, line.data(), line.size());
    }
    // The handler may have closed the client (and another may have taken its place).
    if (clients_[static_cast<std::size_t>(id)].socket != socket) return;
    at = feed + 1;
  }
}

int Fleet::Wait(int millis, Events& events) {
  epoll_event ready[256];
  const int count = epoll_wait(epoll_, ready, 256, millis);
  for (int i = 0; i < count; ++i) {
    const int id = static_cast<int>(ready[i].data.u32);
    Client& client = clients_[static_cast<std::size_t>(id)];
    if (client.socket < 0) continue;  // closed by an earlier event's handler
    const std::uint32_t what = ready[i].events;
    if (client.connecting) {
      int error = 0;
      socklen_t length = sizeof error;
      (void)getsockopt(client.socket, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0 || (what & (EPOLLERR | EPOLLHUP)) != 0) {
        Drop(id, true, events);
        continue;
      }
      client.connecting = false;
      Update(id);
    }
    if ((what & EPOLLOUT) != 0 && !client.unsent.empty()) {
      const ssize_t n = send(client.socket, client.unsent.data(), client.unsent.size(),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) client.unsent.erase(0, static_cast<std::size_t>(n));
      if (client.unsent.empty()) Update(id);
    }
    if ((what & (EPOLLIN | EPOLLRDHUP)) != 0 && !client.paused) {
      Read(id, events);
    } else if ((what & (EPOLLERR | EPOLLHUP)) != 0) {
      Drop(id, true, events);
    }
  }
  return count < 0 ? 0 : count;
}

long long FewestStreamLines(const Developers& developers, long long most, std::size_t first) {
  for (std::size_t i = first; i < developers.size(); ++i) {
    most = std::min(most, developers[i]->StreamLines());
  }
  return most;
}

int WaitForStreamLines(const Developers& developers, long long count, int millis,
                       std::size_t first) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kMillis;
  int dropped = 0;
  for (std::size_t i = first; i < developers.size(); ++i) {
    const Developer& developer = *developers[i];
    WaitFor(MillisLeft(deadline), 2000,
            [&] { return developer.StreamLines() >= count || developer.EndedAt() != 0; });
    dropped += developer.Dropped();
  }
  return dropped;
}

bool AttachDevelopers(Developers& developers, int count, int port, int receiveBuffer) {
  for (int i = 0; i < count; ++i) {
    developers.push_back(std::make_unique<Developer>());
    if (!developers.back()->Attach(port, kAttachMillis, nullptr, receiveBuffer)) return false;
  }
  return true;
}

double TimeAnswer(int s, LineReader& reader, const std::string& command, const char* end,
                  int limitMillis) {
  const std::int64_t asked = NowNanos();
  if (!SendWhole(s, (command + "\n").c_str(), command.size() + 1) ||
      !reader.Find(end, limitMillis)) {
    return limitMillis;
  }
  return static_cast<double>(NowNanos() - asked) / kMillis;
}

std::string TypedLines(unsigned developer, long long first, long long count, std::size_t length) {
  std::string lines;
  for (long long sequence = first; sequence < first + count; ++sequence) {
    const std::size_t start = lines.size();
    lines += "L" + std::to_string(developer) + "." + std::to_string(sequence) + " ";
    lines.append(length > lines.size() - start + 1 ? length - (lines.size() - start) - 1 : 0, 'x');
    lines += '\n';
  }
  return lines;
}

Developer::~Developer() { Close(false); }

bool Developer::Attach(int port, int millis, const char* source, int receiveBuffer) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * kMillis;
  socket_ = ConnectFrom(port, source, receiveBuffer, millis);
  if (socket_ < 0) return false;
  LineReader reader(socket_);
  if (!reader.Find("QC_OK: Welcome to the Team Quillaret", MillisLeft(deadline))) return false;
  leftover_ = reader.Pending();
  return true;
}

void Developer::StartReading(const ReadPattern& pattern, std::size_t streamLength, char mark) {
  streamLength_ = streamLength;
  streamMark_ = mark;
  stopping_.store(false);
  thread_ = std::thread([this, pattern] { Run(pattern); });
}

void Developer::Stop() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
}

void Developer::Close(bool reset) {
  Stop();
  CloseSocket(socket_, reset);
  socket_ = -1;
}

void Developer::Scan(const char* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (line_.size() < 64) line_.push_back(data[i]);
    ++lineLength_;
    if (data[i] != '\n') continue;
    if (line_.find("Buffer overflow detected") != std::string::npos) {
      overflows_.fetch_add(1, std::memory_order_relaxed);
    } else if (line_.find("QC_OK: End of list") != std::string::npos) {
      listEnds_.fetch_add(1, std::memory_order_relaxed);
    } else if (streamLength_ > 0 && IsStreamLine()) {
      streamLines_.fetch_add(1, std::memory_order_relaxed);
    }
    line_.clear();
    lineLength_ = 0;
  }
}

bool Developer::IsStreamLine() const {
  // Past the stamp, when the line has one: the echo of a piece of several typed lines stamps
  // only its first.
  static const char kMessage[] = " QC_MSG: ";
  const std::size_t stamp =
      line_.size() > 17 && line_.compare(8, sizeof kMessage - 1, kMessage) == 0 ? 17 : 0;
  return line_.size() > stamp && line_[stamp] == streamMark_ &&
         lineLength_ - stamp >= streamLength_;
}

void Developer::Run(ReadPattern pattern) {
  std::mt19937 random(pattern.seed);
  std::vector<char> buffer(65536);
  if (!leftover_.empty()) {
    bytes_.fetch_add(static_cast<long long>(leftover_.size()));
    Scan(leftover_.data(), leftover_.size());
    leftover_.clear();
  }
  while (!stopping_.load()) {
    const std::int64_t burstEnd = NowNanos() + std::int64_t{pattern.burstMillis} * kMillis;
    std::size_t taken = 0;
    while (!stopping_.load() && NowNanos() < burstEnd &&
           (pattern.burstBytes == 0 || taken < pattern.burstBytes)) {
      pollfd entry{socket_, POLLIN, 0};
      if (poll(&entry, 1, std::max(1, std::min(MillisLeft(burstEnd), 20))) <= 0) continue;
      std::size_t want = std::min(buffer.size(), pattern.readBytes);
      if (pattern.burstBytes > 0) want = std::min(want, pattern.burstBytes - taken);
      const ssize_t n = recv(socket_, buffer.data(), want, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        endedAt_.store(NowNanos());
        return;
      }
      taken += static_cast<std::size_t>(n);
      bytes_.fetch_add(n, std::memory_order_relaxed);
      Scan(buffer.data(), static_cast<std::size_t>(n));
      if (pattern.readGapMillis > 0) {
        SleepUntil(NowNanos() + std::int64_t{pattern.readGapMillis} * kMillis, &stopping_);
      }
    }
    if (pattern.pauseMaxMillis > 0) {
      std::uniform_int_distribution<int> pause(pattern.pauseMinMillis, pattern.pauseMaxMillis);
      SleepUntil(NowNanos() + std::int64_t{pause(random)} * kMillis, &stopping_);
    }
  }
}

bool Scene::AskCount() {
  std::string answer;
  if (!Ask("count", &answer)) return false;
  return std::sscanf(answer.c_str(), "count %lld %lld %lld %lld %lld %lld", &count.connected,
                     &count.disconnected, &count.lines, &count.other, &count.overflows,
                     &count.inversions) >= 5;
}

std::int64_t Scene::WaitForLines(long long wanted, int quietMillis, int limitMillis) {
  std::int64_t lastChange = NowNanos();
  long long last = -1;
  WaitFor(limitMillis, 50000, [&] {
    if (!AskCount()) return true;
    if (count.lines != last) lastChange = NowNanos();
    last = count.lines;
    return count.lines >= wanted || NowNanos() - lastChange > std::int64_t{quietMillis} * kMillis;
  });
  return lastChange;
}

double Scene::NoticeMillis(const std::string& text) {
  if (!Send("notices")) return -1;
  double first = -1;
  for (std::string line; NextLine(60000, line) && line.rfind("notices-end", 0) != 0;) {
    char* end = nullptr;
    const double millis = std::strtod(line.c_str() + 7, &end);
    if (line.rfind("notice ", 0) == 0 && (first < 0 || millis < first) &&
        line.find(text, static_cast<std::size_t>(end - line.c_str())) != std::string::npos) {
      first = millis;
    }
  }
  return first;
}

bool Scene::ShareOneProcessor() {
  const int pid = Pid();
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(pid, sizeof allowed, &allowed) != 0) return false;
  int first = 0;
  while (first < CPU_SETSIZE && !CPU_ISSET(first, &allowed)) ++first;
  if (first == CPU_SETSIZE) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  return ForEachTask(pid, [&](int task) {
    return sched_setaffinity(task, sizeof one, &one) == 0 &&
           (task == pid || setpriority(PRIO_PROCESS, static_cast<id_t>(task), 19) == 0);
  });
}

Scene::Scene(const Options& runOptions, std::string sceneName, std::string prefix)
    : options(runOptions), name(std::move(sceneName)), prefix_(std::move(prefix)) {
  if (prefix_.empty()) prefix_ = "hostile." + name + ".";
}

Scene::~Scene() {
  if (!errorFile_.empty()) (void)std::remove(errorFile_.c_str());
}

bool Scene::Start(const HostSetup& given) {
  HostSetup setup = given;
  if (setup.port == 0) setup.port = options.hostilePort;
  port_ = setup.port;
  std::vector<std::string> argv;
  if (setup.underWine) {
    // The host loads quillaret_console.dll by its bare name, from its own folder.
    argv = {"wine", options.win32Directory + "/qc_session_host.exe"};
  } else {
    argv = {options.sessionHost, "--library", options.library};
  }
  for (const std::string& arg :
       {std::string("--consoles"), std::to_string(setup.consoles), std::string("--base-port"),
        std::to_string(setup.port), std::string("--frame-millis"),
        std::to_string(setup.frameMillis)}) {
    argv.push_back(arg);
  }
  argv.insert(argv.end(), setup.flags.begin(), setup.flags.end());
  for (const std::string& line : setup.profile) {
    argv.push_back("--profile");
    argv.push_back(line);
  }
  char path[] = "/tmp/qc-session-host-XXXXXX";
  const int file = mkstemp(path);
  if (file >= 0) close(file);
  errorFile_ = path;
  if (!ChildProcess::Start(argv, setup.unreadError ? "|" : errorFile_) ||
      !Expect("base ", 60000, base) || !Expect("spawned ", 60000, spawned)) {
    Fail("the session host (" + argv[setup.underWine ? 1 : 0] + ") did not start");
    return false;
  }
  errorUnread_ = setup.unreadError;
  if (std::atoi(spawned.c_str() + 8) == setup.consoles) return true;
  Fail("the session host did not spawn its consoles on port " + std::to_string(port_));
  return false;
}

int Scene::Stop(std::map<std::string, int>* kindsWanted) {
  (void)Send("quit");
  ChildProcess::Finish(20000);
  if (errorUnread_) return -1;
  std::ifstream errors(errorFile_);
  int lines = 0;
  std::map<std::string, int> kinds;
  for (std::string line; std::getline(errors, line);) {
    ++lines;
    ++kinds[line.substr(0, line.find(" ("))];  // without the client or console it names
  }
  for (const auto& [kind, times] : kinds) {
    std::fprintf(stderr, "  session host: %d x %s\n", times, kind.c_str());
  }
  if (kindsWanted != nullptr) *kindsWanted = kinds;
  return lines;
}

bool Scene::Attach(Developer& developer, int console, const char* source, int receiveBuffer) {
  return developer.Attach(Port(console), kAttachMillis, source, receiveBuffer);
}

bool Scene::AttachMany(Developers& developers, int more, int receiveBuffer) {
  if (AttachDevelopers(developers, more, Port(), receiveBuffer)) return true;
  Fail("cannot attach developer " + std::to_string(developers.size() - 1));
  return false;
}

long Scene::MarkMemory() {
  baseKiB_ = ProcessResidentKiB(Pid());
  // Writing 5 to clear_refs starts the peak resident size (VmHWM) afresh.
  std::ofstream file("/proc/" + std::to_string(Pid()) + "/clear_refs");
  file << "5\n";
  return baseKiB_;
}

double Scene::GrowthKiB() const {
  return static_cast<double>(ProcessResidentKiB(Pid()) - baseKiB_);
}

double Scene::PeakGrowthKiB() const {
  return static_cast<double>(ProcessPeakKiB(Pid()) - baseKiB_);
}

bool Scene::WaitConnected(long long connected) {
  if (WaitForCount(20000, [&](const HostCount& c) { return c.connected >= connected; })) {
    return true;
  }
  Fail("the host took " + std::to_string(count.connected) + " of " + std::to_string(connected) +
       " connected notices");
  return false;
}

bool Scene::Ask(const std::string& command, std::string* answer, int millis) {
  std::string line;
  if (Send(command) && Expect(command.substr(0, command.find(' ')), millis, line)) {
    if (answer != nullptr) *answer = line;
    return true;
  }
  Fail("the host did not answer " + command);
  return false;
}

void Scene::Figure(const std::string& figure, double value) {
  std::fprintf(stderr, "  %s: %s = %.6g\n", name.c_str(), figure.c_str(), value);
  ReportFigure(prefix_ + figure, value);
}

void Scene::Row(const std::string& title, const std::string& figure, double value, const char* unit,
                double target, bool worst) {
  std::printf("row %s%s %s %g %d %s\n", prefix_.c_str(), figure.c_str(),
              unit[0] != '\0' ? unit : "-", target, worst ? 1 : 0, title.c_str());
  Figure(figure, value);
}

void Scene::TallyFigures(unsigned developer, long long typed, const std::string& what,
                         double lostTarget, bool fixedCount) {
  long long distinct = 0, repeated = 0;
  AskTally(
      [&](unsigned long who, long long taken, long long again, long long, const std::string& line) {
        if (who != developer) return;
        distinct = taken;
        repeated = again;
        std::fprintf(stderr, "  host's tally: %s\n", line.c_str());
      });
  Figure("lines_typed", static_cast<double>(typed));
  Figure("lines_taken", static_cast<double>(distinct));
  const std::string of = fixedCount ? " (of " + std::to_string(typed) + ")" : "";
  Row(what + ": lines not taken whole" + of, "lines_lost", static_cast<double>(typed - distinct),
      "", lostTarget);
  Row(what + ": lines taken twice or more", "lines_repeated", static_cast<double>(repeated), "", 0);
}

int Scene::Fail(const std::string& what) {
  return qc::load::Fail("%s: %s", name.c_str(), what.c_str());
}

int Scene::Finish() {
  std::map<std::string, int> kinds;
  Figure("diagnostics", Stop(&kinds));
  Figure("diag_send_timed_out", kinds["QC_ERROR: send() timed out"]);
  Figure("diag_send_buffer_full", kinds["QC_ERROR: send buffer full"]);
  return 0;
}

}  // namespace qc::load
