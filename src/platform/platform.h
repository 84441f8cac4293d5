// Everything the library needs from the operating system, behind one small interface.
// posix.cpp and win32.cpp implement it; no other library file includes an OS header.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace qc::platform {

// A socket handle. Negative means failure. Functions below return -1 for failure unless they
// say otherwise (AcceptConnection has a second failure value).
using Socket = std::int32_t;

// A receive time limit in the layout select() takes. Only ever read.
struct Timeout {
  std::int32_t seconds;
  std::int32_t micros;
};

// A recursive mutex. The owner may take it again and must release it as often.
struct Mutex;

// --- Sockets. IPv4 TCP stream sockets; every connection in non-blocking mode. ---
// No socket is ever inherited by a child process the host starts: each is close-on-exec on
// POSIX and not inheritable on Windows from the moment it exists.

// Starts the socket library (Winsock version 2.0). 0, or -1 on failure. Nothing to do on POSIX.
int StartSocketLibrary();
// socket(AF_INET, SOCK_STREAM, 0). The socket, or -1.
Socket CreateTcpSocket();
// Sets how a listening socket shares its address, before it is bound. On POSIX SO_REUSEADDR
// set to 1, which lets it bind a port whose old connections are still in TIME_WAIT. Windows
// binds such a port without it, and there the option would also let a second socket bind a
// port that another is listening on; instead SO_EXCLUSIVEADDRUSE keeps any other socket, even
// one with SO_REUSEADDR, from binding the port while the console listens. 0 or -1.
int EnableAddressReuse(Socket s);
// Binds to the IPv4 address and the port, both in host order; address 0 is INADDR_ANY, every
// local address. 0 or -1.
int BindTo(Socket s, std::uint32_t ipv4, std::uint16_t port);
// listen() with the backlog, and the listening socket put in non-blocking mode, so that an
// accept never waits. 0 or -1.
int ListenOn(Socket s, int backlog);
// What AcceptConnection returns when the process (or system) is out of descriptors, buffer
// memory or memory for now: a later accept can succeed, and the caller backs off meanwhile.
constexpr Socket kAcceptAgain = -2;
// What AcceptConnection returns when no connection is waiting: not a failure.
constexpr Socket kAcceptNone = -3;
// What AcceptConnection returns when the failure concerned one connection only (it was reset
// or aborted before it was taken, a firewall refused it, a signal cut the call short): the
// next connection can be taken at once.
constexpr Socket kAcceptSkipped = -4;
// Takes one waiting connection without waiting. The new socket, in non-blocking mode;
// kAcceptNone, kAcceptAgain, kAcceptSkipped (see above); or -1 for a failure of any other
// kind.
Socket AcceptConnection(Socket listening);

// What ReceiveSomeNow and SendSomeNow return when the socket has nothing for them now.
constexpr int kWouldBlock = -2;
// What SendSomeNow returns when the send met the peer's reset of the connection: the failure a
// receive would have met, taken by the send first.
constexpr int kPeerReset = -3;
// One send() of at most length bytes that never blocks and never raises a signal on a broken
// connection: the number of bytes taken (at least 1), kWouldBlock, kPeerReset, or -1 for a
// failure of any other kind.
int SendSomeNow(Socket s, const char* data, int length);
// One recv() of at most capacity bytes that never blocks: the count, 0 at end of stream,
// kWouldBlock, or -1.
int ReceiveSomeNow(Socket s, char* buffer, int capacity);
// The peer's IPv4 address, first octet first. 0, or -1 when it cannot be read.
int PeerAddress(Socket s, std::uint8_t octets[4]);
// Closes the socket. 0 or -1.
int CloseSocket(Socket s);
// Shuts the sending side of a connection down: the peer reads the end of the stream once what
// was sent has arrived, and may still send. 0 or -1.
int ShutdownSending(Socket s);
// Gives a connection a send buffer of sendBufferBytes and turns TCP keepalive on: the first
// probe after idleSeconds of silence, then one every intervalSeconds, and the connection fails
// after probes unanswered ones. 0, or -1 when an option was refused (the others are still set;
// where the system lacks the timings, keepalive runs with its own).
int TuneConnection(Socket s, int sendBufferBytes, int idleSeconds, int intervalSeconds, int probes);

// One socket of a readiness wait: what is asked (want*) and what was found (is*).
struct PollEntry {
  Socket socket;
  bool wantRead;
  bool wantWrite;
  bool isReadable;  // input, end of stream, an error, or a connection to accept
  bool isWritable;
};
// The most sockets one WaitForEvents call takes.
constexpr int kMaxPollEntries = 160;
// Waits until one of count (at most kMaxPollEntries) sockets is ready as asked, or millis pass
// (negative: no limit), and fills in isReadable and isWritable. The count of ready entries; 0
// when the time ran out or a signal cut the wait short; -1 when the wait failed (a socket that
// names nothing among them, for one).
int WaitForEvents(PollEntry* entries, int count, int millis);

// Wakes a thread waiting in WaitForEvents from any other thread: its socket becomes readable
// when Signal is called, until Drain. On POSIX a pipe, on Windows a loopback UDP socket that
// sends to itself (Winsock 1.1 has no socketpair).
struct Waker;
// A new waker. Null when it cannot be made.
Waker* CreateWaker();
// What to wait on for reading.
Socket WakerSocket(const Waker* waker);
// Makes the waker readable. Safe from any thread; never blocks. False when the signal could not
// be given (the waker is then as it was).
bool SignalWaker(Waker* waker);
// Takes every signal that arrived, so that the waker is no longer readable. Never blocks.
void DrainWaker(Waker* waker);
// Closes a waker that nobody waits on or signals any more.
void DestroyWaker(Waker* waker);

// Whether the process's standard error takes a short line now without waiting: a file or a
// terminal does; a pipe only while it has room (on Windows, where that cannot be asked, a pipe
// never counts as taking one).
bool StandardErrorTakesNow();

// --- Threads and locks. ---

// Starts a detached thread that runs function(argument) and then ends, with a stack of
// stackBytes (the whole reservation; raised to the platform's least). False when no thread was
// created.
bool StartThread(void (*function)(void* argument), void* argument, std::size_t stackBytes);
// A new recursive mutex, not owned. Null on failure.
Mutex* CreateRecursiveMutex();
// Destroys a mutex that nobody holds or waits for.
void DestroyRecursiveMutex(Mutex* mutex);
// Waits without limit until the calling thread owns the mutex.
void LockRecursiveMutex(Mutex* mutex);
// Releases one hold of the mutex.
void UnlockRecursiveMutex(Mutex* mutex);

// --- Memory. ---

// The C library's malloc, calloc (of bytes, zero-filled), realloc and free. Every allocation of
// the library goes through these, so that the fault-injection build can make any one fail.
// Null on failure; ResizeMemory then leaves block as it was.
void* AllocateMemory(std::size_t bytes);
void* AllocateZeroedMemory(std::size_t bytes);
void* ResizeMemory(void* block, std::size_t bytes);
// Gives back a block of the three above; null is ignored.
void FreeMemory(void* block);

// bytes of zero-filled, page-aligned memory straight from the OS (mmap, VirtualAlloc). Its
// pages cost no physical memory until they are first written. Null on failure.
void* AllocatePages(std::size_t bytes);
// Gives back a block from AllocatePages with the same size.
void FreePages(void* block, std::size_t bytes);

// --- Text. ---

// vprintf into dst (capacity > 0 bytes) with the C library's %d, %u and %s: always
// NUL-terminated, cut when too long. Returns the characters written, the NUL not counted.
std::size_t FormatTextV(char* dst, std::size_t capacity, const char* format, std::va_list args);

// --- Time and configuration. ---

// Milliseconds from a fixed point in the past, never going back.
std::int64_t MonotonicMillis();

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};
// The local wall-clock time.
TimeOfDay LocalTimeOfDay();

// Reads an integer from the profile file (a bare file name; on Windows it is looked up in the
// Windows directory, on POSIX in the current working directory). The default when the file,
// section or key is missing, or the value is empty.
int ReadProfileInt(const char* section, const char* key, int fallback, const char* fileName);
// Reads a string into out (capacity bytes, always NUL-terminated); the default when the file,
// section or key is missing. Returns the number of characters written.
int ReadProfileString(const char* section, const char* key, const char* fallback, char* out,
                      std::size_t capacity, const char* fileName);

}  // namespace qc::platform
