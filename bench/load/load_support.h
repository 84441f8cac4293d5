// Helpers of the end-to-end load program: clocks and statistics, the process's own thread count
// and resident memory, loopback sockets with time limits, and the scratch directory that holds
// the library's profile file. Every wait here ends by itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loader/host_loader.h"

namespace qc::load {

using Clock = std::chrono::steady_clock;

// Nanoseconds on the steady clock.
std::int64_t NowNanos();

// The median of values (the mean of the two middle ones for an even count); 0 when empty.
double Median(std::vector<double> values);
// The p-th percentile (0..100) by the nearest-rank rule; 0 when empty.
double Percentile(std::vector<double> values, double p);

// What a scenario passes to the program that started it: one "figure <name> <value>" line on
// standard output, flushed at once.
void ReportFigure(const std::string& name, double value);

// The settings every scenario gets from the command line.
struct Options {
  std::string library;  // path of the built console library
  int basePort = 29000;  // scenarios use ports from here up to basePort + 299
  int repeats = 5;       // rounds (or processes) per figure
};

// --- The process itself (Linux /proc). ---

// Threads of this process, or -1.
int ThreadCount();
// Resident memory of this process in KiB (exact, from smaps_rollup), or -1.
long ResidentKiB();
// Waits until the process runs at least count threads. False after millis.
bool WaitForThreads(int count, int millis);
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

// Takes the console's messages until the connected notices of count clients have come and
// nothing more is pending (their echoes go to the clients); false after 20 s.
bool TakeConnectedNotices(const loader::ConsoleApi& api, unsigned goid, int count);
// Makes a fresh directory under /tmp the working directory and writes the library's profile
// file there with BasePort set to basePort, then the extra lines ("Key=value\n" each). The
// library reads it at each spawn.
bool EnterScratchDirectory(int basePort, const std::string& extraLines = "");
// Removes the profile file and the directory again.
void LeaveScratchDirectory();

// --- Loopback sockets. All blocking; every receive has a time limit. ---

// A socket listening on 127.0.0.1:port (address reuse, backlog 128), or -1.
int ListenLoopback(std::uint16_t port);
// Connects to 127.0.0.1:port, retrying for up to millis while nothing listens yet; TCP_NODELAY
// set, receive and send time limits of 10 s. The socket, or -1.
int ConnectLoopback(std::uint16_t port, int millis);
// Accepts one connection within millis, or -1.
int AcceptWithin(int listening, int millis);
// Sends every byte (no SIGPIPE). False when a send fails.
bool SendWhole(int s, const char* data, std::size_t length);
// Receives until the bytes gathered in line end in a line feed. line is cleared first.
// False when the connection ends, fails or the socket's time limit passes.
bool ReadLine(int s, std::string& line);
void CloseSocket(int s);

// Writes "HH:MM:SS" of the local time into out (8 characters, no NUL), from time() and
// localtime_r as the library does it; the baselines stamp their lines the same way.
void WriteLocalTimestamp(char* out);

}  // namespace qc::load
