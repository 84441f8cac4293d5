// The console server record, the process-wide registry of servers, and the record's two
// shared lists (pending messages and clients), with the only routines that change them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/fixed_text.h"
#include "platform/platform.h"

namespace qc {

using platform::Socket;

constexpr int kMaxServers = 100;
// A console serves at most this many developers at once; the next one waits in the listening
// socket's backlog until a session ends.
constexpr int kMaxClients = 100;
constexpr int kMaxPending = 100;
constexpr int kDefaultBasePort = 30000;
constexpr int kDefaultTimeoutMillis = 60000;
// The defaults of SendTimeoutVal and SendBufferVal (KiB); net/limits.h says what they bound.
constexpr int kDefaultSendTimeoutMillis = 2000;
constexpr int kDefaultSendBufferKiB = 1024;
constexpr const char* kProfileFileName = "quillaret_console.ini";
constexpr const char* kProfileSection = "QCServer";

// The shared "nothing" result of every entry point that returns text. Never written.
extern const char kEmptyText[1];

// A block of output bytes, queued for one client or shared by every client of a broadcast.
struct OutputBlock;
// One connection's state, owned by the console's loop.
struct ClientState;
// The console's loop: its connections and working buffers, owned by its thread.
struct ConsoleLoop;

// One console server per game object. Allocated zero-filled by NewConsoleServer and, once
// registered, never freed.
//
// One thread, the console's loop, owns every socket of the console: it alone accepts,
// receives, sends, closes, and changes ClientList. Host calls never touch a socket: what they
// send to the developers goes into the Inbox, under StateLock, and the loop is woken to hand
// it to every listed client.
// StateLock guards ClientList (its changes), PendingMessages, the Inbox, and the writing of
// ResultText; the counts are atomics because lookups test them without the lock.
struct ConsoleServer {
  platform::Mutex* StateLock;
  std::uint32_t GoID;
  char TemplateName[kNameBytes];
  char ThisPrefix[kNameBytes];
  char ResultText[kTextBytes];
  bool SpawnConfirm;
  std::int16_t Port;            // printed with %d as a signed value; bound as unsigned
  std::uint32_t ListenAddress;  // IPv4, host byte order; 0 for every local address
  bool ListenRefused;           // a profile value could not be used: no port is opened
  char Password[kNameBytes];    // asked of every client before it is listed; empty: none
  std::atomic<Socket> ListenSocket;
  platform::Timeout Timeout;
  bool TimeoutEnabled;
  // How long a client with output waiting may take none of it before it is dropped; 0: no
  // limit.
  int SendTimeoutMillis;
  // How much unsent output a client may have for a while (see net/limits.h).
  std::size_t SendBufferBytes;
  // The listed clients, in the order they joined (a leaver's place goes to the last one), and
  // each one's state at the same index.
  Socket ClientList[kMaxClients];
  ClientState* ClientStates[kMaxClients];
  std::atomic<int> ClientCount;
  // PendingMessages is a stack kept in a ring of slots: the bottom entry sits at PendingBase,
  // the top at (PendingBase + PendingCount - 1) % kMaxPending. The ring lets a push on a full
  // stack discard the oldest entry without moving the others.
  char PendingMessages[kMaxPending][kTextBytes];
  std::size_t PendingLengths[kMaxPending];
  int PendingBase;
  std::atomic<int> PendingCount;
  // The bytes of every pending text, which the host's taking echoes to each developer.
  std::atomic<std::size_t> PendingBytes;
  // Whether the loop may push onto the stack. A pop closes it; a look at an empty stack opens
  // it again. So a host that takes everything each frame, as a batch, never finds a refill in
  // the middle of its batch: each batch holds lines older than the next one's.
  std::atomic<bool> StackOpen;
  // Broadcast lines waiting for the loop to hand them to every listed client, oldest first.
  // InboxBytes counts their bytes: no listed client has sent any of them yet.
  OutputBlock** Inbox;
  int InboxCount;
  int InboxCapacity;
  std::atomic<std::size_t> InboxBytes;
  // A line could not be queued: the inbox passed the hard output limit (every listed client's
  // unsent output with it), or memory ran out. The loop drops every listed client.
  bool InboxOverrun;
  bool InboxLost;
  // How host calls wake the loop. WakePending is set by the call that signals the waker and
  // cleared by the loop before it empties the inbox, so a burst of calls signals it once.
  platform::Waker* Waker;
  std::atomic<bool> WakePending;
  // Set by the loop while typed lines or notices wait for a stack that takes none (closed, or
  // full): the host's next look at an empty stack, which opens it, wakes the loop.
  std::atomic<bool> WantsSlot;
  ConsoleLoop* Loop;
};

// A new, unregistered server for the game object: zero-filled, its two locks made, no listening
// socket, GoID, TemplateName (cut to kNameBytes-1 characters; null reads as "") and ThisPrefix
// set. Null, with nothing kept, when memory or a lock cannot be had.
ConsoleServer* NewConsoleServer(std::uint32_t goid, const char* templateName);

// Gives back a server that was never registered, its lock included.
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

// Pops the newest entry of PendingMessages into out (kTextBytes) and returns true, closing the
// stack to the loop's pushes; false, with out untouched and the stack open again, when it is
// empty. The caller holds StateLock.
bool PopPending(ConsoleServer& server, char* out);

// Appends client, with its state, to ClientList; false when the list is full. The caller
// holds StateLock.
bool AddClient(ConsoleServer& server, Socket client, ClientState* state);

// The index of client in ClientList, or -1 when it is not listed.
int FindClient(const ConsoleServer& server, Socket client);

// Removes the ClientList entry at index by moving the last entry into its place.
// The caller holds StateLock.
void RemoveClientAt(ConsoleServer& server, int index);

// Removes the first ClientList entry equal to client; nothing changes when it is not listed.
// The caller holds StateLock.
void RemoveClient(ConsoleServer& server, Socket client);

}  // namespace qc
