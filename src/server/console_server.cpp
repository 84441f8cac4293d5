// The console server record, the registry, and the two shared lists of a record.
#include "server/console_server.h"

#include <cstring>
#include <new>

#include "common/locks.h"

namespace qc {

const char kEmptyText[1] = "";

ConsoleServer* NewConsoleServer(std::uint32_t goid, const char* templateName) {
  // Zeroed memory (calloc) comes as fresh zero pages for a block this size, so the pending slots
  // cost address space, not resident memory, until they are used.
  void* block = platform::AllocateZeroedMemory(sizeof(ConsoleServer));
  if (block == nullptr) return nullptr;
  auto* server = new (block) ConsoleServer;  // default-initialisation keeps the zeros
  server->StateLock = platform::CreateRecursiveMutex();
  if (server->StateLock == nullptr) {
    DeleteConsoleServer(server);
    return nullptr;
  }
  server->ListenSocket.store(-1, std::memory_order_relaxed);
  server->StackOpen.store(true, std::memory_order_relaxed);
  server->SendBufferBytes = std::size_t{kDefaultSendBufferKiB} * 1024;
  server->GoID = goid;
  CopyText(server->TemplateName, sizeof server->TemplateName,
           templateName != nullptr ? templateName : "");
  FormatText(server->ThisPrefix, sizeof server->ThisPrefix, "MakeGoid(%d).",
             static_cast<int>(goid));
  return server;
}

void DeleteConsoleServer(ConsoleServer* server) {
  if (server == nullptr) return;
  if (server->StateLock != nullptr) platform::DestroyRecursiveMutex(server->StateLock);
  platform::FreeMemory(server);  // the record's members are trivially destructible
}

ServerRegistry& Registry() {
  static ServerRegistry registry;  // zero-initialised before any code runs
  return registry;
}

platform::Mutex* RegistryLock() { return MutexMadeOnce(Registry().Lock); }

ConsoleServer* FindServer(std::uint32_t goid) {
  ServerRegistry& registry = Registry();
  const int count = registry.Count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    if (registry.GoIDs[i] == goid) return registry.Servers[i];
  }
  return nullptr;
}

void PushPending(ConsoleServer& server, const char* text) {
  const int count = server.PendingCount.load(std::memory_order_relaxed);
  int slot;
  if (count < kMaxPending) {
    slot = (server.PendingBase + count) % kMaxPending;
  } else {
    slot = server.PendingBase;  // the oldest entry's slot becomes the top
    server.PendingBase = (server.PendingBase + 1) % kMaxPending;
  }
  const std::size_t given = count < kMaxPending ? 0 : server.PendingLengths[slot];
  CopyText(server.PendingMessages[slot], kTextBytes, text);
  server.PendingLengths[slot] = std::strlen(server.PendingMessages[slot]);
  server.PendingBytes.store(
      server.PendingBytes.load(std::memory_order_relaxed) - given + server.PendingLengths[slot],
      std::memory_order_relaxed);
  if (count < kMaxPending) server.PendingCount.store(count + 1, std::memory_order_release);
}

bool PopPending(ConsoleServer& server, char* out) {
  const int count = server.PendingCount.load(std::memory_order_relaxed);
  if (count <= 0) {
    server.StackOpen.store(true, std::memory_order_seq_cst);
    return false;
  }
  const int slot = (server.PendingBase + count - 1) % kMaxPending;
  CopyText(out, kTextBytes, server.PendingMessages[slot]);
  server.PendingBytes.store(
      server.PendingBytes.load(std::memory_order_relaxed) - server.PendingLengths[slot],
      std::memory_order_relaxed);
  server.StackOpen.store(false, std::memory_order_relaxed);
  server.PendingCount.store(count - 1, std::memory_order_release);
  return true;
}

bool AddClient(ConsoleServer& server, Socket client, ClientState* state) {
  const int count = server.ClientCount.load(std::memory_order_relaxed);
  if (count >= kMaxClients) return false;
  server.ClientList[count] = client;
  server.ClientStates[count] = state;
  server.ClientCount.store(count + 1, std::memory_order_release);
  return true;
}

void RemoveClientAt(ConsoleServer& server, int index) {
  const int last = server.ClientCount.load(std::memory_order_relaxed) - 1;
  server.ClientList[index] = server.ClientList[last];
  server.ClientStates[index] = server.ClientStates[last];
  server.ClientCount.store(last, std::memory_order_release);
}

int FindClient(const ConsoleServer& server, Socket client) {
  const int count = server.ClientCount.load(std::memory_order_relaxed);
  for (int i = 0; i < count; ++i) {
    if (server.ClientList[i] == client) return i;
  }
  return -1;
}

void RemoveClient(ConsoleServer& server, Socket client) {
  const int index = FindClient(server, client);
  if (index >= 0) RemoveClientAt(server, index);
}

}  // namespace qc
