// Helpers of the end-to-end load program: clocks and statistics, the process's own thread count
// and resident memory, loopback sockets with time limits, and the scratch directory that holds
// the library's profile file. Every wait here ends by itself.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/types.h>

#include "load/process_stats.h"
#include "loader/host_loader.h"

namespace qc::load {

using Clock = std::chrono::steady_clock;

// Nanoseconds on the steady clock.
std::int64_t NowNanos();

// The median of values (the mean of the two middle ones for an even count); 0 when empty.
double Median(std::vector<double> values);
// The p-th percentile (0..100) by the nearest-rank rule; 0 when empty.
double Percentile(std::vector<double> values, double p);

// Shows what went wrong (printf's format and arguments, a line of its own) on standard error;
// returns 1, a failed scenario's exit code.
int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What a scenario passes to the program that started it: one "figure <name> <value>" line on
// standard output, flushed at once.
void ReportFigure(const std::string& name, double value);

// The settings every scenario gets from the command line.
struct Options {
  std::string library;   // path of the built console library
  int basePort = 29000;  // scenarios use ports from here up to basePort + kPortSpan - 1
  int repeats = 5;       // rounds (or processes) per figure
  // The sessions and churn scenarios: the host program, native or (with win32Directory, which
  // holds qc_session_host.exe and quillaret_console.dll) the 32-bit one under wine.
  std::string sessionHost;
  std::string win32Directory;
  int churnSeconds = 600;
  int churnDevelopers = 10000;
  // The one console of a hostile-connection scenario. The program that runs them gives each
  // run a block of 10 ports of its own, the blocks from --hostile-port on (by default
  // 25000-25999: outside the tests' port blocks and the system's ephemeral range).
  int hostilePort = 25000;
};

// Lines of one socket or pipe, each read within a time limit.
class LineReader {
 public:
  explicit LineReader(int s = -1) : socket_(s) {}
  void Reset(int s) {
    socket_ = s;
    pending_.clear();
    ended_ = false;
  }
  // The next line (with its line end) within millis. False when the time ran out or the
  // connection ended (then Ended()).
  bool Next(std::string& line, int millis);
  // Skips lines until one that holds text; false when none came within millis.
  bool Find(const std::string& text, int millis, std::string* line = nullptr);
  bool Ended() const { return ended_; }
  int Socket() const { return socket_; }
  // What was read beyond the last line handed out.
  const std::string& Pending() const { return pending_; }

 private:
  int socket_;
  std::string pending_;
  bool ended_ = false;
};

// --- A child process driven over its standard input and output. ---

// Runs a program (the load program's scenarios, the session host) with its standard output
// read a line at a time and, when asked, commands written to its standard input.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched on PATH) with argv. Its standard error goes to errorFile, or to a
  // pipe that nobody reads when errorFile is "|", or stays this process's when it is empty.
  bool Start(const std::vector<std::string>& argv, const std::string& errorFile = "");
  // Writes one command line. False when the child no longer reads.
  bool Send(const std::string& command);
  // The next line of the child's output within millis (without its line end). False when the
  // time ran out or the output ended (then Ended() is true).
  bool NextLine(int millis, std::string& line);
  // The next line that begins with prefix, skipping others, within millis.
  bool Expect(const std::string& prefix, int millis, std::string& line);
  bool Ended() const { return output_.Ended(); }
  // Waits up to millis for the child to end, then kills it. True when it ended by itself with
  // exit code 0.
  bool Finish(int millis);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int unreadError_ = -1;
  int input_ = -1;
  LineReader output_;
};

// The value of "key=value" in a line of words, or -1.
double WordValue(const std::string& line, const std::string& key);

// --- The process itself (Linux /proc; ThreadCount and ResidentKiB in process_stats.h). ---

// Calls act(task id) for every thread of process pid; false when they cannot be listed or an
// act failed.
bool ForEachTask(int pid, const std::function<bool(int)>& act);
// Waits until no thread of the process but the caller is running or runnable, so that thread
// start-up has finished. False after millis.
bool WaitUntilQuiet(int millis);
// Ports from firstPort to firstPort + count - 1 on which this process has a listening TCP
// socket (the kernel's socket table, matched to this process's descriptors). Asks nothing of
// the listener: no connection is made.
int CountListeningPorts(int firstPort, int count);

// --- The library. ---

// Loads the library at path by its exported names; prints the reason to standard error when
// it cannot.
bool LoadLibrary(const std::string& path, loader::ConsoleApi& api);

// Loads the library of options into api and spawns one console of goid (template name) on port,
// the extra profile lines ("Key=value\n" each) read at its spawn. False, with the reason on
// standard error, when that fails.
bool SpawnInProcess(const Options& options, loader::ConsoleApi& api, unsigned goid,
                    const char* name, int port, const std::string& extraLines = "");
// Takes the console's messages until the connected notices of count clients have come and
// nothing more is pending (their echoes go to the clients); false after 20 s.
bool TakeConnectedNotices(const loader::ConsoleApi& api, unsigned goid, int count);
// Makes a fresh directory under /tmp the working directory and writes the library's profile
// file there with BasePort set to basePort, then the extra lines ("Key=value\n" each). The
// library reads it at each spawn.
bool EnterScratchDirectory(int basePort, const std::string& extraLines = "");
// Removes the profile file and the directory again.
void LeaveScratchDirectory();

// --- Loopback sockets. All blocking but a client's new socket; every receive has a time limit. ---

// 127.0.0.1:port.
sockaddr_in LoopbackAddress(std::uint16_t port);
// A new non-blocking socket for a client: TCP_NODELAY, receiveBuffer when above 0, bound to
// source (an address of 127/8) when given; or -1.
int ClientSocket(int receiveBuffer, const char* source = nullptr);

// A socket listening on 127.0.0.1:port (address reuse, backlog 128), or -1.
int ListenLoopback(std::uint16_t port);
// Milliseconds until deadline (NowNanos), at least 0.
int MillisLeft(std::int64_t deadline);

// Connects a socket to 127.0.0.1:port from source (or any address), within millis; TCP_NODELAY,
// receiveBuffer when above 0. The socket, or -1.
int ConnectFrom(int port, const char* source, int receiveBuffer, int millis);
// Sends as much of data as the socket takes before deadline (NowNanos). Returns the bytes sent;
// fewer than length when the time ran out or the connection failed.
std::size_t SendUntil(int s, const char* data, std::size_t length, std::int64_t deadline);
// Sleeps until deadline (NowNanos), in steps, or until stop is set.
void SleepUntil(std::int64_t deadline, const std::atomic<bool>* stop = nullptr);
// Asks done() until it holds (true) or millis have passed (false), stepMicros apart.
template <typename Done>
bool WaitFor(int millis, int stepMicros, Done done) {
  const std::int64_t deadline = NowNanos() + std::int64_t{millis} * 1000000;
  while (!done()) {
    if (NowNanos() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(stepMicros));
  }
  return true;
}

// Runs 2 x batches batches of perBatch calls of run(kind), the kinds 0 and 1 alternating (0, 1,
// 1, 0, 0, 1, ...) so that both meet the same load from the rest of the machine. Returns the
// nanoseconds spent in each kind.
template <typename Run>
std::array<std::int64_t, 2> AlternateBatches(int batches, int perBatch, Run run) {
  std::array<std::int64_t, 2> spent{};
  for (int batch = 0; batch < 2 * batches; ++batch) {
    const int kind = (batch + batch / 2) % 2;
    const std::int64_t start = NowNanos();
    for (int i = 0; i < perBatch; ++i) run(kind);
    spent[static_cast<std::size_t>(kind)] += NowNanos() - start;
  }
  return spent;
}

// ConnectFrom from any address, with receive and send time limits of 10 s.
int ConnectLoopback(std::uint16_t port, int millis);
// Accepts one connection within millis, or -1.
int AcceptWithin(int listening, int millis);
// Sends every byte (no SIGPIPE). False when a send fails.
bool SendWhole(int s, const char* data, std::size_t length);
// Receives until the bytes gathered in line end in a line feed. line is cleared first.
// False when the connection ends, fails or the socket's time limit passes.
bool ReadLine(int s, std::string& line);
// Closes s (when it is one): with reset, by a reset (SO_LINGER 0).
void CloseSocket(int s, bool reset = false);

// Writes "HH:MM:SS" of the local time into out (8 characters, no NUL), from time() and
// localtime_r as the library does it; the baselines stamp their lines the same way.
void WriteLocalTimestamp(char* out);

}  // namespace qc::load
