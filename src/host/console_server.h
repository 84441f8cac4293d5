// The console server record, the process-wide registry of servers, and the exported QCServer
// class through which a game host drives the library.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/fixed_text.h"
#include "platform/platform.h"

#if defined(_WIN32)
#define QC_EXPORT
#else
#define QC_EXPORT __attribute__((visibility("default")))
#endif

// The host interface. The members are private: a host binds them by their exported names
// (dlsym / GetProcAddress), never through this declaration.
class QCServer {
 private:
  QC_EXPORT static bool SpawnServer(unsigned int goid, char* templateName);
  QC_EXPORT static void BroadcastMsg(unsigned int goid, char* text);
  QC_EXPORT static bool CheckSysMsg(const char* text);
  QC_EXPORT static const char* GetNextMessage(unsigned int goid);
  QC_EXPORT static const char* CheckReportMsg(char* text);
  QC_EXPORT static const char* TestDLL(unsigned int goid);
  QC_EXPORT static bool GetFlagConfirm(unsigned int goid);
};

namespace qc {

using platform::Socket;

constexpr int kMaxServers = 100;
constexpr int kMaxClients = 100;   // equal to the number of workers per server
constexpr int kMaxPending = 100;
constexpr int kDefaultBasePort = 30000;
constexpr int kDefaultTimeoutMillis = 60000;
constexpr const char* kProfileFileName = "quillaret_console.ini";
constexpr const char* kProfileSection = "QCServer";

// The shared "nothing" result of every entry point that returns text. Never written.
extern const char kEmptyText[1];

// One console server per game object. Allocated zero-filled at spawn and never freed.
// StateLock guards ClientList, PendingMessages, and the writing of ResultText by the pop and by
// the attachment probe; the counts are atomics because lookups test them without the lock.
struct ConsoleServer {
  platform::Mutex* ListenLock;
  platform::Mutex* StateLock;
  std::uint32_t GoID;
  char TemplateName[kNameBytes];
  char ThisPrefix[kNameBytes];
  char ResultText[kTextBytes];
  bool SpawnConfirm;
  std::int16_t Port;  // printed with %d as a signed value; bound as unsigned
  std::atomic<Socket> ListenSocket;
  platform::Timeout Timeout;
  bool TimeoutEnabled;
  Socket ClientList[kMaxClients];
  int ClientCount;
  // PendingMessages is a stack kept in a ring of slots: the bottom entry sits at PendingBase,
  // the top at (PendingBase + PendingCount - 1) % kMaxPending. The ring lets a push on a full
  // stack discard the oldest entry without moving the others.
  char PendingMessages[kMaxPending][kTextBytes];
  int PendingBase;
  std::atomic<int> PendingCount;
};

// The process-wide table of spawned servers, in spawn order. Entries are only appended, each
// complete before Count (released) grows, so lookups read it without the lock. Lock is made by
// the first spawn and read by every later one without a lock, hence an atomic.
// GoIDs[i] repeats Servers[i]->GoID: a host polls every console each frame, and a lookup that
// scans these 400 contiguous bytes does not touch one page of every 6.3 MiB record on its way.
struct ServerRegistry {
  std::atomic<platform::Mutex*> Lock;
  ConsoleServer* Servers[kMaxServers];
  std::uint32_t GoIDs[kMaxServers];
  std::atomic<int> Count;
};

ServerRegistry& Registry();

// The first registered server with this GoID, scanning from index 0, or null. Takes no lock.
ConsoleServer* FindServer(std::uint32_t goid);

// Allocates, configures from the profile file, and registers a server, then starts its
// listener. False when the registry is full, memory or a lock cannot be had (nothing is then
// registered), or the listener thread cannot be started (the server stays registered).
bool SpawnConsoleServer(std::uint32_t goid, const char* templateName);

// Fills a server's configuration (port from BasePort + index, timeout, spawn-confirm flag)
// from the profile file, read anew.
void ConfigureServer(ConsoleServer& server, int index);

}  // namespace qc
