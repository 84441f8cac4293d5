// How the scenarios drive developers and the session host: a developer on a loopback socket with
// a thread that reads what it is sent (all the time, slowly, or in bursts); a fleet of many
// developers read in one thread; a scene (the session host with its consoles and answers, and
// the figures of one run). Every wait here ends by itself.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/load_support.h"
#include "load/process_stats.h"

namespace qc::load {

// Nanoseconds in a millisecond, and how long a developer of a scenario may take to attach.
constexpr std::int64_t kMillis = 1000000;
constexpr int kAttachMillis = 10000;

// How a developer's reading thread reads: in each cycle it reads for burstMillis or until it has
// burstBytes (0: no limit), then pauses for pauseMin to pauseMax milliseconds. A developer who
// reads all the time has no pause.
struct ReadPattern {
  int burstMillis = 20;
  std::size_t burstBytes = 0;
  int pauseMinMillis = 0;
  int pauseMaxMillis = 0;
  unsigned seed = 1;
  // Each receive asks for at most readBytes; within a burst, readGapMillis pass after each (a
  // terminal that draws what it took before it takes more).
  std::size_t readBytes = 65536;
  int readGapMillis = 0;
};

// One developer: a blocking loopback socket and, once started, a thread that reads what the
// console sends and counts the lines of interest.
class Developer {
 public:
  Developer() = default;
  ~Developer();
  Developer(const Developer&) = delete;
  Developer& operator=(const Developer&) = delete;

  // Connects to 127.0.0.1:port from source (an address of 127/8, or any when null), with a
  // receive buffer of receiveBuffer bytes when above 0, and waits for the welcome line. False
  // when that did not happen within millis.
  bool Attach(int port, int millis, const char* source = nullptr, int receiveBuffer = 0);
  int Socket() const { return socket_; }

  // Reads on a thread of its own, as pattern says, until Stop or the end of the connection.
  // Lines that begin with mark, after "HH:MM:SS QC_MSG: " when they have it, and hold at least
  // streamLength bytes from there count as stream lines (the host's stream, "S", or the echoes
  // of typed lines, "L").
  void StartReading(const ReadPattern& pattern, std::size_t streamLength = 0, char mark = 'S');
  void Stop();
  // Stops reading and closes: with reset, by a reset (SO_LINGER 0).
  void Close(bool reset);

  long long OverflowLines() const { return overflows_.load(); }
  long long ListEnds() const { return listEnds_.load(); }
  long long StreamLines() const { return streamLines_.load(); }
  long long BytesRead() const { return bytes_.load(); }
  // When the console ended the connection (NowNanos), or 0 while it is open.
  std::int64_t EndedAt() const { return endedAt_.load(); }
  int Dropped() const { return endedAt_.load() != 0 ? 1 : 0; }

 private:
  void Run(ReadPattern pattern);
  bool IsStreamLine() const;
  void Scan(const char* data, std::size_t length);

  int socket_ = -1;
  std::string leftover_;  // what the welcome's reader read beyond it
  std::size_t streamLength_ = 0;
  char streamMark_ = 'S';
  std::string line_;  // the first bytes of the line being received
  std::size_t lineLength_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<long long> overflows_{0}, listEnds_{0}, streamLines_{0}, bytes_{0};
  std::atomic<std::int64_t> endedAt_{0};
  std::thread thread_;
};

using Developers = std::vector<std::unique_ptr<Developer>>;

// The fewest stream lines any developer from first on has received, at most most.
long long FewestStreamLines(const Developers& developers, long long most, std::size_t first = 0);
// Waits until every developer from first on has count stream lines or was dropped, within millis
// in all. Returns how many of them were dropped.
int WaitForStreamLines(const Developers& developers, long long count, int millis,
                       std::size_t first = 0);

// Attaches count more developers to 127.0.0.1:port (see Developer::Attach); false, with the
// one that failed last in developers, when one was not welcomed.
bool AttachDevelopers(Developers& developers, int count, int port, int receiveBuffer = 0);

// Sends command on socket s and times its answer, up to the line that holds end, within
// limitMillis (or gives limitMillis).
double TimeAnswer(int s, LineReader& reader, const std::string& command, const char* end,
                  int limitMillis);

// Many loopback clients in one thread: non-blocking connects, sends and line-by-line reading,
// all waited on with one epoll set. Every scenario whose developers read in one loop drives
// them through a Fleet and is told of each event: the sessions and churn scenarios by lines, the
// host-call scenario by bytes alone. Every wait is bounded by its caller's time limit.
class Fleet {
 public:
  // What happens to the clients, told during Wait.
  struct Events {
    virtual ~Events() = default;
    // Every receive of client id, before its lines are told.
    virtual void Received(int, std::size_t) {}
    // One whole line (with its line feed) that client id received (not told without lines).
    virtual void Line(int, const char*, std::size_t) {}
    // Client id's connection ended from the other side (end of stream, reset or a failed
    // connect); it is closed now. reset: by an error rather than an orderly end.
    virtual void Closed(int, bool) {}
  };

  // Room for clients 0 .. capacity - 1. Without lines, what they receive is only counted.
  explicit Fleet(int capacity, bool lines = true);
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Starts connecting client id (which must be closed) to 127.0.0.1:port, from source when given.
  // receiveBuffer > 0 sets the socket's receive buffer first (a client that will stop reading
  // fills sooner). False when no socket could be made.
  bool Open(int id, std::uint16_t port, int receiveBuffer = 0, const char* source = nullptr);
  // Takes over socket s, already connected, as client id (which must be closed).
  bool Adopt(int id, int s, bool connecting = false);
  int Socket(int id) const { return clients_[static_cast<std::size_t>(id)].socket; }
  // Sends text; what the socket does not take at once is kept and sent when it can be.
  // Returns true when the whole text went at once.
  bool Send(int id, const std::string& text);
  // Closes client id: with reset, by a reset (SO_LINGER 0) instead of an orderly end. No Closed
  // event follows.
  void Close(int id, bool reset);
  // A paused client reads nothing until resumed (its peer's sends back up); an end of its
  // connection is still told.
  void Pause(int id, bool paused);

  // Waits up to millis for events and tells each one. Returns the number handled.
  int Wait(int millis, Events& events);

 private:
  struct Client {
    int socket = -1;
    bool connecting = false;
    bool paused = false;
    std::string partial;  // a line received so far
    std::string unsent;
  };
  void Update(int id);
  void Read(int id, Events& events);
  void Drop(int id, bool reset, Events& events);

  int epoll_;
  bool lines_;
  std::vector<Client> clients_;
  std::vector<char> buffer_;
};

// Lines "L<developer>.<sequence> " and filler, sequences first to first + count - 1, each of
// length bytes with its line feed (at least enough for the number).
std::string TypedLines(unsigned developer, long long first, long long count, std::size_t length);

// The session host's "count": connected, disconnected, tallied lines, other, overflows, and the
// tallied lines taken right after a later line of their developer.
struct HostCount {
  long long connected = -1, disconnected = -1, lines = -1, other = -1, overflows = -1;
  long long inversions = -1;
};

// How a scene's session host runs: its consoles from port (0: Options::hostilePort), frames,
// the library's profile ("Key=value" lines), more of the host's options ("--oldest-first"...),
// natively or under wine, and whether its standard error is a pipe that nobody reads.
struct HostSetup {
  int consoles = 1;
  int frameMillis = 33;
  std::vector<std::string> profile;
  std::vector<std::string> flags;
  bool underWine = false;
  bool unreadError = false;
  int port = 0;
};

// One run of a scenario on the session host, qc_session_host (session_host.cpp), a child
// process: natively, or the 32-bit Windows build under wine (from Options::win32Directory), its
// standard error (the library's diagnostics) in a file of its own. The scene asks the host and
// reports the run's figures, each as "<prefix><figure>" (prefix "hostile.<name>." unless given),
// shown on standard error. Every answer is waited for within a time limit; a failure is shown
// on standard error.
class Scene : public ChildProcess {
 public:
  Scene(const Options& options, std::string name, std::string prefix = "");
  ~Scene();
  // Starts the host as setup says and takes its first answers. False when it did not spawn every
  // console within a minute.
  bool Start(const HostSetup& setup);
  int Port(int console = 0) const { return port_ + console; }
  // Attaches a developer to a console (see Developer::Attach).
  bool Attach(Developer& developer, int console = 0, const char* source = nullptr,
              int receiveBuffer = 0);
  // Attaches more developers to the first console (see Developer::Attach).
  bool AttachMany(Developers& developers, int more, int receiveBuffer = 0);
  // Waits until the host has taken this many connected notices.
  bool WaitConnected(long long connected);
  // Asks the host a command and takes the answer line that begins with the command's name.
  bool Ask(const std::string& command, std::string* answer = nullptr, int millis = 60000);

  // Asks the host's "count" into count; false when it did not answer.
  bool AskCount();
  // Asks "count" until done(count) or millis pass, calling between() in between (by default a
  // sleep of 20 ms).
  template <typename Done, typename Between>
  bool WaitForCount(int millis, Done done, Between between) {
    const std::int64_t deadline = NowNanos() + std::int64_t{millis} * 1000000;
    while (AskCount()) {
      if (done(count)) return true;
      if (NowNanos() >= deadline) return false;
      between();
    }
    return false;
  }
  template <typename Done>
  bool WaitForCount(int millis, Done done) {
    return WaitForCount(millis, done, [] { SleepUntil(NowNanos() + 20 * 1000000LL); });
  }
  // Waits until the host's tallied lines reach wanted, or have not changed for quietMillis, or
  // limitMillis pass. Returns the time of the last change (NowNanos).
  std::int64_t WaitForLines(long long wanted, int quietMillis, int limitMillis);
  // Asks the host's "tally" and calls each(developer, distinct sequence numbers taken, repeats,
  // highest sequence + 1, the line) for every developer whose lines came. False when the host
  // did not answer in full.
  template <typename Each>
  bool AskTally(Each each) {
    if (!Send("tally")) return false;
    for (std::string line; NextLine(60000, line);) {
      if (line.rfind("tally-end", 0) == 0) return true;
      unsigned long developer = 0;
      long long distinct = 0, repeated = 0, highest = 0;
      if (std::sscanf(line.c_str(), "dev %lu %lld %lld %lld", &developer, &distinct, &repeated,
                      &highest) == 4) {
        each(developer, distinct, repeated, highest, line);
      }
    }
    return false;
  }
  // The time of the first notice since the mark that holds text (ms since the mark), or -1.
  double NoticeMillis(const std::string& text);
  // Starts the host's peak of resident memory afresh and returns its resident memory now, the
  // base of PeakGrowthKiB.
  long MarkMemory();
  // The growth of the host's resident memory since MarkMemory: at its peak, and now.
  double PeakGrowthKiB() const;
  double GrowthKiB() const;
  // Keeps every thread of the host on one processor (the first it may use), and all but its
  // first (the game's frame, here) at the lowest priority (nice 19): as a game whose frame takes
  // a processor leaves the console's thread waiting for it. False when that failed.
  bool ShareOneProcessor();

  // Reports a figure that no table shows by itself (the log and derived rows may).
  void Figure(const std::string& figure, double value);
  // Reports a figure with the row of the report's table that shows it: its title, its unit, the
  // most it may be (below 0: none), and whether the worst run rather than the median stands for
  // it.
  void Row(const std::string& title, const std::string& figure, double value, const char* unit = "",
           double target = -1, bool worst = true);
  // Asks the host's tally of a developer who typed typed lines: figures lines_typed,
  // lines_taken, and the rows (titled from what, with the lines typed when fixedCount) of
  // lines_lost (typed less taken, at most lostTarget) and lines_repeated (none).
  void TallyFigures(unsigned developer, long long typed, const std::string& what,
                    double lostTarget = 0, bool fixedCount = true);
  // Shows "<name>: what" on standard error; returns 1, a failed scenario's exit code.
  int Fail(const std::string& what);
  // Ends the host (quit, then a kill if need be). Returns the number of diagnostic lines it
  // wrote (-1 when they went to a pipe nobody read); how many of each kind (the line up to " (")
  // is shown on standard error and, when asked, kept in kinds.
  int Stop(std::map<std::string, int>* kinds = nullptr);
  // Stops the host and reports its diagnostics: all, and the two kinds that drop a client.
  // Returns 0, the scenario's exit code.
  int Finish();

  const Options& options;
  const std::string name;
  std::string base, spawned;  // the host's first answers
  HostCount count;            // its last count

 private:
  std::string prefix_;
  std::string errorFile_;
  bool errorUnread_ = false;
  int port_ = 0;
  long baseKiB_ = 0;
};

}  // namespace qc::load
