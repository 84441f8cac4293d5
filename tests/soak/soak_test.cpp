// A soak test with faults, over loopback: several console servers; up to 100 clients per server
// connecting, sending lines in random pieces and sizes (lines that overflow included), asking
// for listings, quitting, closing without a word and resetting; a host thread taking every
// message and broadcasting meanwhile. Then a last round of 100 clients per server.
//
// The load keeps the host ahead of the pending stack (100 entries), so nothing may be dropped:
// every client waits until the host has taken what its last action pushed before it acts again.
// Each client connects from an address of its own (127.0.S.C), so the host can tell whose
// notices it takes. A client has at most one entry waiting at a time, two for a client that
// sends an overflowing line (the line and its overflow notice), and one reset-happy client per
// server at most two; with 80 clients of which 16 send overflowing lines that stays below 100.
//
// A server accepts one connection at a time, and its listening socket queues 10. Clients that
// connect faster than that are dropped by the platform (with SYN cookies a client even believes
// it is connected and waits for ever for its welcome line), so at most kConnectsInFlight
// connections per server wait for their welcome line at any moment.
//
// The pending stack is last in, first out: under a steady stream of pushes an older entry waits
// until the stream stops. A client waiting for the host to take its entry may therefore wait
// until the end of the load; the longest such wait is reported.
//
// The load runs for QC_SOAK_SECONDS seconds (default 10); QC_SOAK_SEED repeats a run.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "net/broadcast.h"
#include "host/spawn.h"
#include "host/retrieval.h"
#include "support/proc_counts.h"
#include "support/test_support.h"
#include "support/ports.h"
#include "support/models.h"

namespace qc {
namespace {

using test::OpenDescriptors;
using test::ThreadCount;

using Clock = std::chrono::steady_clock;

constexpr int kServers = 3;
constexpr int kSlots = 80;          // clients per server during the load
constexpr int kOverflowSlots = 16;  // of which these also send overflowing lines
constexpr int kFinalClients = 100;  // the last round: every worker of every server at once
constexpr int kWaitSeconds = 60;    // upper bound of every wait that should succeed
constexpr std::uint32_t kFirstGoid = 501;
constexpr int kConnectsInFlight = 6;  // per server, below the listening socket's queue of 10

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

std::string SlotAddress(int server, int slot) {
  return "127.0." + std::to_string(server + 1) + "." + std::to_string(slot + 1);
}
std::string ChaosAddress(int server, int n) {
  return "127.0." + std::to_string(server + 1) + "." + std::to_string(200 + n % 50);
}
std::string FinalAddress(int server, int i) {
  return "127.1." + std::to_string(server + 1) + "." + std::to_string(i + 1);
}
// A reset-at-once client's session may name it by its address or, when the reset came before
// the session read the address, as 0.0.0.0.
bool IsChaosAddress(int server, const std::string& address) {
  if (address == "0.0.0.0") return true;
  for (int n = 0; n < 50; ++n) {
    if (address == ChaosAddress(server, n)) return true;
  }
  return false;
}

// The text as the host must see it: each 0xFF 0xFF sent as one 0xFF (a telnet escape; the
// payload's other 0xFF bytes come before bytes below 240 and stay), then the rewriting:
// leftmost "[this]." again and again, then "[that](".
std::string Rewritten(std::string text, std::uint32_t goid) {
  for (std::size_t at = 0; (at = text.find("\xff\xff", at)) != std::string::npos; ++at) {
    text.erase(at, 1);
  }
  const std::string thisPrefix = "MakeGoid(" + std::to_string(static_cast<int>(goid)) + ").";
  return test::ReplaceLeftmostRepeatedly(
      test::ReplaceLeftmostRepeatedly(text, "[this].", thisPrefix, kTextBytes - 1), "[that](",
      "MakeGoid(", kTextBytes - 1);
}

// Lets at most kConnectsInFlight connections per server wait to be accepted.
class ConnectGate {
 public:
  bool Enter() {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(kWaitSeconds), [this] {
      return inFlight_ < kConnectsInFlight;
    }) && ++inFlight_ > 0;
  }
  void Leave() {
    std::lock_guard<std::mutex> hold(mutex_);
    --inFlight_;
    changed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int inFlight_ = 0;
};
ConnectGate gates[kServers];

// What the host has taken, sorted by kind. Lines carry their sender's id before a '|'.
class Tally {
 public:
  enum Kind { kConnected, kDisconnected, kOverflow, kKinds };

  void Record(int server, const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex_);
    ++taken_;
    const std::uint32_t goid = kFirstGoid + static_cast<std::uint32_t>(server);
    const std::string port = std::to_string(test::PortBlock(test::kSoak) + server);
    const std::string tail = "(Port " + port + ", GoID: " + std::to_string(goid) + ")";
    const std::string connected = " connected " + tail;
    const std::string disconnected = " disconnected " + tail;
    const std::string overflow = "QC_ERROR: Buffer overflow detected from client (IP: ";
    auto endsWith = [&](const std::string& suffix) {
      return text.size() > suffix.size() &&
             text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (text.rfind("QC_OK: ", 0) == 0 && endsWith(connected)) {
      ++notices_[{server, kConnected, text.substr(7, text.size() - 7 - connected.size())}];
    } else if (text.rfind("QC_OK: ", 0) == 0 && endsWith(disconnected)) {
      ++notices_[{server, kDisconnected, text.substr(7, text.size() - 7 - disconnected.size())}];
    } else if (text.rfind(overflow, 0) == 0 && endsWith(")")) {
      ++notices_[{server, kOverflow,
                  text.substr(overflow.size(), text.size() - overflow.size() - 1)}];
    } else if (!text.empty() && (text[0] == 'L' || text[0] == 'O' || text[0] == 'F') &&
               text.find('|') != std::string::npos) {
      lines_[text.substr(0, text.find('|'))].push_back(text);
    } else {
      unexpected_.push_back(text.substr(0, 200));
    }
    changed_.notify_all();
  }

  int Notices(int server, Kind kind, const std::string& address) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = notices_.find({server, kind, address});
    return it == notices_.end() ? 0 : it->second;
  }

  int LineCount(const std::string& id) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = lines_.find(id);
    return it == lines_.end() ? 0 : static_cast<int>(it->second.size());
  }

  // Runs pump() (which reads sockets or sleeps briefly) until pred holds, at most kWaitSeconds
  // beyond the end of the load. False when the time ran out.
  template <typename Pred, typename Pump>
  bool WaitUntil(Pred pred, Pump pump) {
    const auto start = Clock::now();
    const auto deadline = std::max(start, loadEnd_) + std::chrono::seconds(kWaitSeconds);
    while (!pred()) {
      if (Clock::now() > deadline) return false;
      pump();
    }
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard<std::mutex> hold(mutex_);
    if (waited > longestWait_) longestWait_ = waited;
    return true;
  }
  void SetLoadEnd(Clock::time_point end) { loadEnd_ = end; }
  double LongestWait() {
    std::lock_guard<std::mutex> hold(mutex_);
    return longestWait_;
  }

  std::map<std::string, std::vector<std::string>> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  std::map<std::tuple<int, int, std::string>, int> Notices() {
    std::lock_guard<std::mutex> hold(mutex_);
    return notices_;
  }
  std::vector<std::string> Unexpected() {
    std::lock_guard<std::mutex> hold(mutex_);
    return unexpected_;
  }
  long Taken() {
    std::lock_guard<std::mutex> hold(mutex_);
    return taken_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::tuple<int, int, std::string>, int> notices_;
  std::map<std::string, std::vector<std::string>> lines_;
  std::vector<std::string> unexpected_;
  long taken_ = 0;
  Clock::time_point loadEnd_;  // set before any client runs
  double longestWait_ = 0;
};

// The game host: polls every server as a frame loop would, and broadcasts now and then.
class Host {
 public:
  explicit Host(Tally& tally) : tally_(tally), thread_([this] { Run(); }) {}
  ~Host() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  long broadcasts() const { return broadcasts_; }
  int maxPending() const { return maxPending_; }

 private:
  void Run() {
    auto nextBroadcast = Clock::now();
    while (!stop_) {
      bool tookAny = false;
      for (int s = 0; s < kServers; ++s) {
        const std::uint32_t goid = kFirstGoid + static_cast<std::uint32_t>(s);
        ConsoleServer* server = FindServer(goid);
        const int pending = server->PendingCount.load();
        if (pending > maxPending_) maxPending_ = pending;
        const std::string text = TakeNextMessage(goid);
        if (text.empty()) continue;
        tookAny = true;
        tally_.Record(s, text);
      }
      if (Clock::now() >= nextBroadcast) {
        for (int s = 0; s < kServers; ++s) {
          const std::string text = broadcasts_ % 2 == 0
                                       ? "QC_OK: soak broadcast " + std::to_string(broadcasts_)
                                       : "soak broadcast " + std::to_string(broadcasts_) + "\n";
          SendToAllClients(*FindServer(kFirstGoid + static_cast<std::uint32_t>(s)), text.c_str());
        }
        ++broadcasts_;
        nextBroadcast = Clock::now() + std::chrono::milliseconds(20);
      }
      if (!tookAny) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // next frame
    }
  }

  Tally& tally_;
  std::atomic<bool> stop_{false};
  long broadcasts_ = 0;
  int maxPending_ = 0;
  std::thread thread_;
};

// One developer's terminal, from its own loopback address. Reads whatever arrives while it
// waits, so that broadcasts never back up behind it.
class Terminal {
 public:
  ~Terminal() { Close(); }

  bool Connect(std::uint16_t port, const std::string& from) {
    fd_ = test::os::ConnectLoopback(port, from.c_str());
    if (fd_ < 0) return false;
    const int on = 1;  // small pieces go out as they are sent
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    seen_.clear();
    return true;
  }

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends bytes in pieces of random sizes, each with its own send.
  bool SendPieces(const std::string& bytes, std::mt19937& random, int maxPieces) {
    std::size_t at = 0;
    int piecesLeft = std::uniform_int_distribution<int>(1, maxPieces)(random);
    while (at < bytes.size()) {
      std::size_t size = bytes.size() - at;
      if (--piecesLeft > 0) size = std::uniform_int_distribution<std::size_t>(1, size)(random);
      if (!SendRaw(bytes.substr(at, size))) return false;
      at += size;
    }
    return true;
  }

  // Sends bytes whole, reading meanwhile as a terminal does: a client that only writes while
  // the console writes to it would wait on the console while the console waits on it.
  bool SendRaw(const std::string& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      if (Clock::now() > deadline) return false;
      pollfd entry{fd_, POLLIN | POLLOUT, 0};
      if (::poll(&entry, 1, 100) < 0) return false;
      if ((entry.revents & POLLIN) && !Pump(0)) return false;
      if (entry.revents & (POLLERR | POLLHUP)) return false;
      if (!(entry.revents & POLLOUT)) continue;
      const ssize_t n =
          ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Reads what arrives within millis. False when the connection has ended.
  bool Pump(int millis) {
    char buffer[65536];
    int n = test::os::ReceiveWithin(fd_, buffer, sizeof buffer, millis);
    while (n > 0) {
      seen_.append(buffer, static_cast<std::size_t>(n));
      n = test::os::ReceiveWithin(fd_, buffer, sizeof buffer, 0);
    }
    return n != 0 && n != -1;
  }

  // Reads until needle has arrived; returns everything up to it and keeps the rest.
  bool WaitFor(const std::string& needle, std::string* text = nullptr) {
    const auto deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
    for (bool open = true;; open = Pump(10)) {
      const std::size_t at = seen_.find(needle);
      if (at != std::string::npos) {
        if (text != nullptr) *text = seen_.substr(0, at + needle.size());
        seen_.erase(0, at + needle.size());
        return true;
      }
      if (!open || Clock::now() > deadline) return false;
    }
  }

  // Reads and forgets what arrives within millis.
  void Drain(int millis) {
    Pump(millis);
    seen_.clear();
  }

  const std::string& seen() const { return seen_; }

  void Reset() {
    if (fd_ >= 0) test::os::ResetAndClose(fd_);
    fd_ = -1;
  }
  void Close() {
    if (fd_ >= 0) test::os::Close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string seen_;
};

// What the clients have done and expect, gathered when their threads end.
struct Expectations {
  std::mutex mutex;
  std::map<std::string, std::string> lines;                   // id -> the text the host must get
  std::map<std::string, std::string> overflows;               // id -> the bytes that were sent
  std::map<std::tuple<int, std::string>, int> lives;          // (server, address) -> sessions
  std::map<std::tuple<int, std::string>, int> overflowLines;  // (server, address) -> count
  std::map<int, int> chaosLives;                              // server -> sessions
  std::vector<std::string> failures;
  std::map<std::string, long> counts;  // statistics for the log

  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> hold(mutex);
    if (failures.size() < 20) failures.push_back(what);
  }
  void Count(const std::string& what, long n = 1) {
    std::lock_guard<std::mutex> hold(mutex);
    counts[what] += n;
  }
};

std::string RandomPayload(std::mt19937& random, std::size_t length) {
  static const std::string kChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:()[]{}%\t\xe9\xff";
  static const char* const kInserts[] = {"[this].", "[that](", "%s%n%x", "[This].", "[that]"};
  std::string text;
  std::uniform_int_distribution<std::size_t> pick(0, kChars.size() - 1);
  while (text.size() < length) {
    if (random() % 40 == 0) {
      text += kInserts[random() % 5];
    } else {
      text += kChars[pick(random)];
    }
  }
  return text;
}

// What one client slot did.
struct SlotRecord {
  int lives = 0;
  int overflowLines = 0;
  std::map<std::string, std::string> lines, overflows;
};

void RunSlotLives(int server, int slot, Clock::time_point until, std::uint32_t seed, Tally& tally,
                  Expectations& expect, SlotRecord& record) {
  std::mt19937 random(seed);
  const std::uint32_t goid = kFirstGoid + static_cast<std::uint32_t>(server);
  const auto port = static_cast<std::uint16_t>(test::PortBlock(test::kSoak) + server);
  const std::string address = SlotAddress(server, slot);
  const std::string who = std::to_string(server) + "." + std::to_string(slot) + ".";
  int& lives = record.lives;
  int& overflowLines = record.overflowLines;
  auto& lines = record.lines;
  auto& overflows = record.overflows;
  int serial = 0;
  auto fail = [&](const std::string& what) { expect.Fail(address + ": " + what); };

  while (Clock::now() < until) {
    Terminal terminal;
    if (!gates[server].Enter()) return fail("no turn to connect");
    if (!terminal.Connect(port, address)) {
      gates[server].Leave();
      return fail("cannot connect");
    }
    ++lives;
    const bool welcomed = terminal.WaitFor("v0.1\r\n");
    gates[server].Leave();
    if (!welcomed) return fail("no welcome line");
    auto pump = [&] { terminal.Drain(5); };
    if (!tally.WaitUntil([&] { return tally.Notices(server, Tally::kConnected, address) == lives; },
                         pump)) {
      return fail("connected notice not taken");
    }

    const int actions = std::uniform_int_distribution<int>(0, 6)(random);
    bool partial = false;
    for (int a = 0; a < actions && !partial; ++a) {
      const int roll = std::uniform_int_distribution<int>(0, 99)(random);
      if (roll < 60) {  // an ordinary line, mostly short, sometimes tens of kilobytes
        const std::string id = "L" + who + std::to_string(serial++);
        const std::size_t length = random() % 8 == 0 ? random() % 60000 : random() % 300;
        const std::string line =
            id + "|" + RandomPayload(random, length) + (random() % 2 ? "\r\n" : "\n");
        lines[id] = Rewritten(line, goid);
        if (!terminal.SendPieces(line, random, 6)) return fail("send failed");
        if (!tally.WaitUntil([&] { return tally.LineCount(id) == 1; }, pump)) {
          return fail("line " + id + " not taken");
        }
        expect.Count("lines");
      } else if (roll < 68 && slot < kOverflowSlots) {
        // One byte too many: exactly one overflow notice, whatever pieces the session gets.
        const std::string id = "O" + who + std::to_string(serial++);
        std::string line = id + "|";
        line += std::string(65535 - line.size(), 'o') + "\n";
        overflows[id] = line;
        ++overflowLines;
        if (!terminal.SendRaw(id + "|") ||
            !terminal.SendPieces(line.substr(id.size() + 1), random, 4)) {
          return fail("send failed");
        }
        if (!tally.WaitUntil(
                [&] {
                  return tally.LineCount(id) == 1 &&
                         tally.Notices(server, Tally::kOverflow, address) == overflowLines;
                },
                pump)) {
          return fail("overflowing line " + id + " or its notice not taken");
        }
        expect.Count("overflowing lines");
      } else if (roll < 80) {
        std::string listing;
        if (!terminal.SendPieces("[who]\r\n", random, 3) ||
            !terminal.WaitFor("QC_OK: Currently connected clients") ||
            !terminal.WaitFor(" QC_OK: End of list\r\n", &listing)) {
          return fail("no client listing");
        }
        if (listing.find("]\t" + address + "\r\n") == std::string::npos) {
          return fail("not in its own client listing: " + listing.substr(0, 300));
        }
        expect.Count("client listings");
      } else if (roll < 85) {
        std::string listing;
        if (!terminal.SendPieces("[spawns]\n", random, 3) ||
            !terminal.WaitFor("QC_OK: Currently spawned servers\r\n") ||
            !terminal.WaitFor(" QC_OK: End of list\r\n", &listing)) {
          return fail("no server listing");
        }
        if (listing.find("[03]\tPort: ") == std::string::npos) return fail("short server listing");
        expect.Count("server listings");
      } else {  // a partial line, then the connection ends
        if (!terminal.SendRaw("L" + who + "partial, never finished")) return fail("send failed");
        partial = true;
      }
    }

    switch (partial ? 1 + random() % 2 : random() % 3) {
      case 0:
        if (!terminal.SendPieces("[quit]\r\n", random, 3) ||
            !terminal.WaitFor("QC_OK: Disconnecting from Team Quillaret development console\r\n")) {
          return fail("no farewell line");
        }
        expect.Count("quits");
        break;
      case 1:
        terminal.Close();
        expect.Count("closes");
        break;
      default:
        terminal.Reset();
        expect.Count("resets");
        break;
    }
    terminal.Close();
    if (!tally.WaitUntil(
            [&] { return tally.Notices(server, Tally::kDisconnected, address) == lives; },
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); })) {
      return fail("disconnected notice not taken");
    }
  }
}

// One client slot: connects again and again until the deadline, each time doing a few things
// and then leaving one of three ways.
void RunSlot(int server, int slot, Clock::time_point until, std::uint32_t seed, Tally& tally,
             Expectations& expect) {
  SlotRecord record;
  RunSlotLives(server, slot, until, seed, tally, expect, record);
  std::lock_guard<std::mutex> hold(expect.mutex);
  expect.lives[{server, SlotAddress(server, slot)}] = record.lives;
  expect.overflowLines[{server, SlotAddress(server, slot)}] = record.overflowLines;
  expect.lines.insert(record.lines.begin(), record.lines.end());
  expect.overflows.insert(record.overflows.begin(), record.overflows.end());
}

// Connects and resets at once, or right after the welcome line: the session may meet the reset
// before it has read the peer's address, and then names its client 0.0.0.0.
void RunChaos(int server, Clock::time_point until, std::uint32_t seed, Tally& tally,
              Expectations& expect) {
  std::mt19937 random(seed);
  const auto port = static_cast<std::uint16_t>(test::PortBlock(test::kSoak) + server);
  int lives = 0;
  auto taken = [&](Tally::Kind kind) {
    int n = 0;
    for (const auto& [key, count] : tally.Notices()) {
      if (std::get<0>(key) == server && std::get<1>(key) == kind &&
          IsChaosAddress(server, std::get<2>(key))) {
        n += count;
      }
    }
    return n;
  };
  while (Clock::now() < until) {
    Terminal terminal;
    // The turn lasts until the session has ended: only then has the connection surely left
    // the listening socket's queue.
    if (!gates[server].Enter()) {
      expect.Fail("chaos client: no turn to connect");
      break;
    }
    if (!terminal.Connect(port, ChaosAddress(server, lives))) {
      gates[server].Leave();
      expect.Fail("chaos client cannot connect");
      break;
    }
    ++lives;
    const bool welcomed = random() % 2 == 0 || terminal.WaitFor("v0.1\r\n");
    terminal.Reset();
    const bool ended =
        welcomed && tally.WaitUntil(
                        [&] {
                          return taken(Tally::kConnected) == lives &&
                                 taken(Tally::kDisconnected) == lives;
                        },
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    gates[server].Leave();
    if (!welcomed || !ended) {
      expect.Fail(welcomed ? "chaos client's notices not taken" : "chaos client: no welcome line");
      break;
    }
  }
  std::lock_guard<std::mutex> hold(expect.mutex);
  expect.chaosLives[server] = lives;
}

// Every worker of the server at once: 100 clients connect, each sends a line, every client sees
// every line echoed, and all leave.
void RunFinalRound(int server, Tally& tally, Expectations& expect) {
  const std::uint32_t goid = kFirstGoid + static_cast<std::uint32_t>(server);
  const auto port = static_cast<std::uint16_t>(test::PortBlock(test::kSoak) + server);
  std::vector<std::unique_ptr<Terminal>> terminals;
  auto pumpAll = [&] {
    std::vector<pollfd> entries;
    for (auto& t : terminals) entries.push_back({t->fd(), POLLIN, 0});
    ::poll(entries.data(), entries.size(), 5);
    for (auto& t : terminals) t->Pump(0);
  };
  for (int i = 0; i < kFinalClients; ++i) {
    terminals.push_back(std::make_unique<Terminal>());
    if (!terminals.back()->Connect(port, FinalAddress(server, i)) ||
        !terminals.back()->WaitFor("v0.1\r\n")) {
      return expect.Fail("final round: client " + std::to_string(i) + " not served");
    }
  }
  auto allTaken = [&](Tally::Kind kind) {
    for (int i = 0; i < kFinalClients; ++i) {
      if (tally.Notices(server, kind, FinalAddress(server, i)) != 1) return false;
    }
    return true;
  };
  if (!tally.WaitUntil([&] { return allTaken(Tally::kConnected); }, pumpAll)) {
    return expect.Fail("final round: connected notices not taken");
  }
  std::map<std::string, std::string> lines;
  for (int i = 0; i < kFinalClients; ++i) {
    const std::string id = "F" + std::to_string(server) + "." + std::to_string(i);
    const std::string line = id + "|[this].Ping(" + std::to_string(i) + ")\r\n";
    lines[id] = Rewritten(line, goid);
    const std::size_t half = line.size() / 2;
    if (!terminals[i]->SendRaw(line.substr(0, half)) || !terminals[i]->SendRaw(line.substr(half))) {
      return expect.Fail("final round: send failed");
    }
  }
  if (!tally.WaitUntil(
          [&] {
            for (const auto& entry : lines) {
              if (tally.LineCount(entry.first) != 1) return false;
            }
            return true;
          },
          pumpAll)) {
    return expect.Fail("final round: lines not taken");
  }
  // Every client sees every line echoed, as typed.
  for (int i = 0; i < kFinalClients; ++i) {
    for (int j = 0; j < kFinalClients; ++j) {
      const std::string echo = " QC_MSG: F" + std::to_string(server) + "." + std::to_string(j) +
                               "|[this].Ping(" + std::to_string(j) + ")\r\n";
      if (!tally.WaitUntil([&] { return terminals[i]->seen().find(echo) != std::string::npos; },
                           pumpAll)) {
        return expect.Fail("final round: client " + std::to_string(i) + " missed echo " +
                           std::to_string(j));
      }
    }
  }
  for (int i = 0; i < kFinalClients; ++i) {
    if (i % 2 == 0) {
      terminals[i]->SendRaw("[quit]\n");
    } else {
      terminals[i]->Close();
    }
  }
  if (!tally.WaitUntil([&] { return allTaken(Tally::kDisconnected); }, pumpAll)) {
    return expect.Fail("final round: disconnected notices not taken");
  }
  terminals.clear();
  std::lock_guard<std::mutex> hold(expect.mutex);
  expect.lines.insert(lines.begin(), lines.end());
  for (int i = 0; i < kFinalClients; ++i) expect.lives[{server, FinalAddress(server, i)}] = 1;
}

TEST(SoakTest, ClientsWithFaultsAgainstSeveralServersLoseNothingAndLeakNothing) {
  const int seconds = EnvInt("QC_SOAK_SECONDS", 10);
  const auto seed =
      static_cast<std::uint32_t>(EnvInt("QC_SOAK_SEED", static_cast<int>(std::random_device()())));
  std::printf("soak: %d s of load, seed %u (QC_SOAK_SEED repeats it)\n", seconds, seed);

  test::WriteProfile(test::ProfileWithPort(test::PortBlock(test::kSoak)));
  test::StderrCapture errors;  // the resets make many diagnostic lines; counted below
  const int threadsBefore = ThreadCount();
  // Afterwards only what each console keeps for good may be left open: its listening socket
  // and the two ends of its loop's waker.
  const int descriptorsBefore = OpenDescriptors() + 3 * kServers;
  for (int s = 0; s < kServers; ++s) {
    ASSERT_TRUE(SpawnConsoleServer(kFirstGoid + static_cast<std::uint32_t>(s), "soak"));
  }
  // At least: a sanitizer may start a thread of its own meanwhile.
  ASSERT_TRUE(test::WaitUntil([&] { return ThreadCount() >= threadsBefore + kServers; }))
      << "threads: " << ThreadCount() - threadsBefore;
  const int threadsServing = ThreadCount();
  for (int s = 0; s < kServers; ++s) {
    test::LoopbackClient probe;  // every port listens before the load starts
    ASSERT_TRUE(probe.Connect(static_cast<std::uint16_t>(test::PortBlock(test::kSoak) + s)));
    ASSERT_FALSE(probe.ReadUntil("v0.1\r\n").empty());
  }
  Tally tally;
  Host host(tally);
  for (int s = 0; s < kServers; ++s) {  // the probes' notices
    ASSERT_TRUE(
        tally.WaitUntil([&] { return tally.Notices(s, Tally::kDisconnected, "127.0.0.1") == 1; },
                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }));
  }
  // A session closes its socket right after its disconnected notice is pushed.
  ASSERT_TRUE(test::WaitUntil([&] { return OpenDescriptors() == descriptorsBefore; }))
      << OpenDescriptors() << " descriptors open, " << descriptorsBefore << " expected";

  Expectations expect;
  const auto start = Clock::now();
  const auto until = start + std::chrono::seconds(seconds);
  tally.SetLoadEnd(until);
  {
    std::vector<std::thread> clients;
    for (int s = 0; s < kServers; ++s) {
      for (int c = 0; c < kSlots; ++c) {
        clients.emplace_back(RunSlot, s, c, until, seed + static_cast<std::uint32_t>(s * 1000 + c),
                             std::ref(tally), std::ref(expect));
      }
      clients.emplace_back(RunChaos, s, until, seed + static_cast<std::uint32_t>(s * 1000 + 999),
                           std::ref(tally), std::ref(expect));
    }
    for (std::thread& t : clients) t.join();
  }
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  {
    std::vector<std::thread> rounds;
    for (int s = 0; s < kServers; ++s) {
      rounds.emplace_back(RunFinalRound, s, std::ref(tally), std::ref(expect));
    }
    for (std::thread& t : rounds) t.join();
  }
  host.Stop();
  for (const std::string& failure : expect.failures) ADD_FAILURE() << failure;

  // Every line pushed was taken exactly once, as the rewriting makes it.
  const auto taken = tally.Lines();
  int missing = 0, wrong = 0;
  for (const auto& [id, text] : expect.lines) {
    auto it = taken.find(id);
    if (it == taken.end() || it->second.size() != 1) {
      if (++missing <= 5)
        ADD_FAILURE() << "line " << id << " taken " << (it == taken.end() ? 0 : it->second.size())
                      << " times";
    } else if (it->second[0] != text) {
      if (++wrong <= 5) ADD_FAILURE() << "line " << id << " arrived changed";
    }
  }
  // An overflowing line arrives as the part the session kept and a line feed.
  for (const auto& [id, sent] : expect.overflows) {
    auto it = taken.find(id);
    if (it == taken.end() || it->second.size() != 1) {
      if (++missing <= 5) ADD_FAILURE() << "overflowing line " << id << " not taken exactly once";
      continue;
    }
    const std::string& got = it->second[0];
    if (got.size() > 65535 || got.back() != '\n' ||
        got.compare(0, got.size() - 1, sent, 0, got.size() - 1) != 0) {
      if (++wrong <= 5)
        ADD_FAILURE() << "overflowing line " << id << " arrived as " << got.size()
                      << " wrong bytes";
    }
  }
  EXPECT_EQ(taken.size(), expect.lines.size() + expect.overflows.size()) << "lines nobody sent";
  EXPECT_TRUE(tally.Unexpected().empty()) << tally.Unexpected().front();

  // Connected and disconnected notices balance, address by address; one overflow notice per
  // overflowing line.
  const auto notices = tally.Notices();
  for (const auto& [key, lives] : expect.lives) {
    const auto& [server, address] = key;
    EXPECT_EQ(tally.Notices(server, Tally::kConnected, address), lives) << address;
    EXPECT_EQ(tally.Notices(server, Tally::kDisconnected, address), lives) << address;
  }
  for (const auto& [key, count] : expect.overflowLines) {
    EXPECT_EQ(tally.Notices(std::get<0>(key), Tally::kOverflow, std::get<1>(key)), count);
  }
  for (int s = 0; s < kServers; ++s) {
    int connected = 0, disconnected = 0;
    for (const auto& [key, n] : notices) {
      const auto& [server, kind, address] = key;
      if (server != s || !IsChaosAddress(s, address)) continue;
      if (kind == Tally::kConnected) connected += n;
      if (kind == Tally::kDisconnected) disconnected += n;
    }
    EXPECT_EQ(connected, expect.chaosLives[s]) << "server " << s;
    EXPECT_EQ(disconnected, expect.chaosLives[s]) << "server " << s;
  }

  // No socket left open, every thread still there, no worker ended.
  EXPECT_TRUE(test::WaitUntil([&] { return OpenDescriptors() == descriptorsBefore; }))
      << OpenDescriptors() << " descriptors open, " << descriptorsBefore << " before";
  EXPECT_GE(ThreadCount(), threadsServing) << "threads ended";
  const std::string diagnostics = errors.Text();
  EXPECT_EQ(diagnostics.find("accept() failed"), std::string::npos);

  long lives = 0, chaos = 0;
  for (const auto& [key, n] : expect.lives) lives += n;
  for (const auto& [key, n] : expect.chaosLives) chaos += n;
  std::printf(
      "soak: %.1f s of load, then the last round; %ld sessions and %ld reset-at-once "
      "sessions; %ld texts taken, %ld broadcasts, at most %d pending at once, longest "
      "wait for the host %.1f s; %d \"recv() failed\" lines\n",
      loadSeconds, lives, chaos, tally.Taken(), host.broadcasts(), host.maxPending(),
      tally.LongestWait(), errors.Count("QC_ERROR: recv() failed\n"));
  for (const auto& [what, n] : expect.counts) std::printf("soak:   %s: %ld\n", what.c_str(), n);
}

}  // namespace
}  // namespace qc
