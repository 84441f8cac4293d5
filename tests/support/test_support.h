// Test helpers: loopback clients with bounded reads, captured standard error, profile files,
// and bounded waits. Every wait here ends by itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qc::test {

constexpr int kWaitMillis = 10000;  // upper bound of every wait that should succeed

// Each test takes its own block of ports, named in support/ports.h, so that tests run in
// parallel never meet.
// Blocks are 10 ports wide: PortBlock(n) .. PortBlock(n) + 9, all shifted by the environment
// variable QC_TEST_PORT_OFFSET when it is set.
std::uint16_t PortBlock(int n);

// Polls pred until it holds or millis pass. True when it held.
bool WaitUntil(const std::function<bool()>& pred, int millis = kWaitMillis);

// Gives this process a fresh, empty working directory (POSIX) so that its profile file is its
// own, and writes text as the profile file where the library reads it. WriteProfile("")
// leaves no file at all.
void WriteProfile(const std::string& text);
// A profile that sets BasePort, and optionally more lines of the [QCServer] section.
std::string ProfileWithPort(std::uint16_t basePort, const std::string& moreLines = "");

// A developer's terminal over loopback.
class LoopbackClient {
 public:
  LoopbackClient() = default;
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // Connects to 127.0.0.1:port, retrying while the port is not listening yet. from, when
  // given, is the loopback source address to connect from (for example "127.0.0.2").
  bool Connect(std::uint16_t port, int millis = kWaitMillis, const char* from = nullptr);
  bool Send(const std::string& bytes);
  // Reads until the received text holds needle; returns everything up to and including it and
  // keeps the rest for the next read. Empty when the time runs out or the connection ends.
  std::string ReadUntil(const std::string& needle, int millis = kWaitMillis);
  // Reads until exactly count bytes have arrived (fewer when the time runs out).
  std::string ReadBytes(std::size_t count, int millis = kWaitMillis);
  // Whatever arrives within millis (all that is buffered, plus what comes meanwhile).
  std::string ReadFor(int millis);
  // True when the server closes the connection within millis (data before the end is kept).
  bool WaitClosed(int millis = kWaitMillis);
  // Closes with a reset (SO_LINGER 0) instead of an orderly shutdown.
  void Reset();
  // Shuts the sending side only: the server sees the end of the stream and can still answer.
  void ShutdownSending();
  void Close();
  bool connected() const { return socket_ >= 0; }
  int socket() const { return socket_; }

 private:
  // Receives once, waiting at most millis. >0 bytes added, 0 closed, -1 error or timeout.
  int ReceiveOnce(int millis);
  int socket_ = -1;
  std::string pending_;
};

// Redirects the process's standard error into a file for the life of the object.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // What has been written so far, as the library wrote it (a text-mode stream's added CRs
  // removed).
  std::string Text() const;
  // Waits until the captured text contains needle.
  bool WaitFor(const std::string& needle, int millis = kWaitMillis) const;
  // How often needle occurs in the captured text.
  int Count(const std::string& needle) const;

 private:
  std::string path_;
  int savedFd_ = -1;
};

// A connected pair over loopback: the accepted (server) side and the client side.
struct SocketPair {
  int server = -1;
  int client = -1;
};
SocketPair MakeSocketPair(std::uint16_t port);
void CloseSocket(int s);

// Reads from socket s until count bytes have arrived; fewer when the peer closes, the receive
// fails or millis pass.
std::string ReceiveBytes(int s, std::size_t count, int millis = kWaitMillis);

namespace os {
// Platform-specific pieces, in test_support_posix.cpp / test_support_win32.cpp.
// Connects to port on to (default 127.0.0.1), from the source address from when given.
int ConnectLoopback(std::uint16_t port, const char* from = nullptr, const char* to = nullptr);
int SendBytes(int s, const char* data, int length);
// >0 bytes, 0 closed, -1 error, -2 time ran out.
int ReceiveWithin(int s, char* buffer, int capacity, int millis);
void ResetAndClose(int s);
void Close(int s);
void ShutdownSending(int s);
// Whether SO_REUSEADDR is set on s, and whether the library sets it on a listening socket here.
bool ReusesAddress(int s);
extern const bool kListenSocketsReuseAddress;
// Whether SO_EXCLUSIVEADDRUSE is set on s, and whether the library sets it on a listening
// socket here (Windows only).
bool ExcludesOtherBinds(int s);
extern const bool kListenSocketsExcludeOtherBinds;
// Whether a child process started now would inherit s: not close-on-exec (POSIX), an
// inheritable handle (Windows).
bool ChildrenInherit(int s);
int ListenLoopback(std::uint16_t port);
int AcceptOne(int listening);
int RedirectStderr(const std::string& path);  // returns the saved descriptor
void RestoreStderr(int savedFd);
std::string TempFilePath(const std::string& stem);
std::string ProfilePath();  // where the library reads its profile file; prepares the place
void SleepMillis(int millis);
// What the process holds of the resources a spawn takes and a refused spawn must give back:
// bytes of heap in use (POSIX), or open handles (Windows, where a lock is a handle).
long HeldResources();
// Lets the process hold as many open descriptors as the system allows it (POSIX), for tests
// that attach a thousand clients; nothing to do on Windows.
void RaiseDescriptorLimit();
// True where the standard error stream writes "\n" as CR LF (msvcrt's text mode).
bool StderrTranslatesLineEnds();
// Makes the C library's local time follow the POSIX time-zone string zone (for example
// "QCT+03:30"). False where the platform's local time does not follow TZ (Windows).
bool UseTimeZone(const char* zone);
}  // namespace os

#ifndef _WIN32
// Standard error as a pipe of one page that is full already, as a launcher's pipe nobody reads:
// what is written to it waits until the pipe is read. The destructor puts standard error back.
class FullStandardError {
 public:
  FullStandardError();
  ~FullStandardError();
  FullStandardError(const FullStandardError&) = delete;
  FullStandardError& operator=(const FullStandardError&) = delete;
  // Whether standard error is the full pipe now; the bytes that filled it.
  bool Made() const { return savedFd_ >= 0; }
  const std::string& Fill() const { return fill_; }
  // Puts standard error back; the pipe keeps what was written to it.
  void Restore();
  // Reads the pipe until what was read holds needle, it ends, or nothing comes for millis;
  // each(what was read so far) runs after every read. What was read, the fill first.
  std::string ReadUntil(const std::string& needle,
                        const std::function<void(const std::string&)>& each = {},
                        int millis = kWaitMillis);

 private:
  int ends_[2] = {-1, -1};
  int savedFd_ = -1;
  std::string fill_;
};
#endif

}  // namespace qc::test
