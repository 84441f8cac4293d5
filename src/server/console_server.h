// The console server record, the process-wide registry of servers, and the record's two
// shared lists (pending messages and clients), with the only routines that change them.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/fixed_text.h"
#include "platform/platform.h"

namespace qc {

using platform::Socket;

constexpr int kMaxServers = 100;
// A worker serves one client at a time, so a server has as many workers at most as ClientList
// has slots, and ClientList cannot overflow.
constexpr int kMaxClients = 100;
constexpr int kWorkersPerServer = kMaxClients;
constexpr int kMaxPending = 100;
constexpr int kDefaultBasePort = 30000;
constexpr int kDefaultTimeoutMillis = 60000;
constexpr int kDefaultSendTimeoutMillis = 2000;
constexpr const char* kProfileFileName = "quillaret_console.ini";
constexpr const char* kProfileSection = "QCServer";

// The shared "nothing" result of every entry point that returns text. Never written.
extern const char kEmptyText[1];

// One console server per game object. Allocated zero-filled by NewConsoleServer and, once
// registered, never freed.
// StateLock guards ClientList, PendingMessages, BroadcastLine, and the writing of ResultText;
// the counts are atomics because lookups test them without the lock.
// ListenLock guards each accept and the worker bookkeeping (WorkerCount, WorkerFailureReported).
struct ConsoleServer {
  platform::Mutex* ListenLock;
  platform::Mutex* StateLock;
  std::uint32_t GoID;
  char TemplateName[kNameBytes];
  char ThisPrefix[kNameBytes];
  char ResultText[kTextBytes];
  // Where a broadcast builds its line: in the record rather than on the sending thread's stack,
  // so a worker that broadcasts needs no 64 KiB of stack for it.
  char BroadcastLine[kTextBytes];
  bool SpawnConfirm;
  std::int16_t Port;  // printed with %d as a signed value; bound as unsigned
  std::uint32_t ListenAddress;  // IPv4, host byte order; 0 for every local address
  bool ListenRefused;  // a profile value could not be used: no port is opened
  char Password[kNameBytes];  // asked of every client before it is listed; empty: none
  std::atomic<Socket> ListenSocket;
  platform::Timeout Timeout;
  bool TimeoutEnabled;
  // How long a send may make no progress before the client is dropped; 0 waits without limit.
  int SendTimeoutMillis;
  Socket ClientList[kMaxClients];
  int ClientCount;
  // PendingMessages is a stack kept in a ring of slots: the bottom entry sits at PendingBase,
  // the top at (PendingBase + PendingCount - 1) % kMaxPending. The ring lets a push on a full
  // stack discard the oldest entry without moving the others.
  char PendingMessages[kMaxPending][kTextBytes];
  int PendingBase;
  std::atomic<int> PendingCount;
  // Workers are started as clients arrive: WorkerCount have been started, IdleWorkers of them
  // are not serving a client.
  int WorkerCount;
  std::atomic<int> IdleWorkers;
  bool WorkerFailureReported;
};

// A new, unregistered server for the game object: zero-filled, its two locks made, no listening
// socket, GoID, TemplateName (cut to kNameBytes-1 characters; null reads as "") and ThisPrefix
// set. Null, with nothing kept, when memory or a lock cannot be had.
ConsoleServer* NewConsoleServer(std::uint32_t goid, const char* templateName);

// Gives back a server that was never registered, its locks included.
void DeleteConsoleServer(ConsoleServer* server);

// The process-wide table of spawned servers, in spawn order. Entries are only appended, each
// complete before Count (released) grows, so lookups read it without the lock.
// GoIDs[i] repeats Servers[i]->GoID: a host polls every console each frame, and a lookup that
// scans these 400 contiguous bytes does not touch one page of every 6.4 MiB record on its way.
struct ServerRegistry {
  std::atomic<platform::Mutex*> Lock;
  ConsoleServer* Servers[kMaxServers];
  std::uint32_t GoIDs[kMaxServers];
  std::atomic<int> Count;
};

ServerRegistry& Registry();

// The registry lock, made by the first call; null when it cannot be made (a later call tries
// again). Two first calls at once both get the same lock.
platform::Mutex* RegistryLock();

// The first registered server with this GoID, scanning from index 0, or null. Takes no lock.
ConsoleServer* FindServer(std::uint32_t goid);

// Pushes text onto PendingMessages. The caller holds StateLock. On a full stack the oldest
// entry gives way, so the newest entries (which the host takes first) are never lost.
void PushPending(ConsoleServer& server, const char* text);

// Pops the newest entry of PendingMessages into out (kTextBytes) and returns true; false, with
// out untouched, when the stack is empty. The caller holds StateLock.
bool PopPending(ConsoleServer& server, char* out);

// Appends client to ClientList; false when the list is full. The caller holds StateLock.
bool AddClient(ConsoleServer& server, Socket client);

// The index of client in ClientList, or -1 when it is not listed. The caller holds StateLock.
int FindClient(const ConsoleServer& server, Socket client);

// Removes the ClientList entry at index by moving the last entry into its place.
// The caller holds StateLock.
void RemoveClientAt(ConsoleServer& server, int index);

// Removes the first ClientList entry equal to client; nothing changes when it is not listed.
// The caller holds StateLock.
void RemoveClient(ConsoleServer& server, Socket client);

}  // namespace qc
