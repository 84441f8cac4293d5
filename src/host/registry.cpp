// Spawning: the server registry, the lookup by GoID, and configuration from the profile file.
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/locks.h"
#include "host/console_server.h"
#include "net/workers.h"

namespace qc {

const char kEmptyText[1] = "";

ServerRegistry& Registry() {
  static ServerRegistry registry;  // zero-initialised before any code runs
  return registry;
}

ConsoleServer* FindServer(std::uint32_t goid) {
  ServerRegistry& registry = Registry();
  const int count = registry.Count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    if (registry.GoIDs[i] == goid) return registry.Servers[i];
  }
  return nullptr;
}

void ConfigureServer(ConsoleServer& server, int index) {
  using platform::ReadProfileInt;
  using platform::ReadProfileString;
  const int basePort = ReadProfileInt(kProfileSection, "BasePort", kDefaultBasePort,
                                      kProfileFileName);
  // The port is kept in 16 bits: it is bound as unsigned and printed as signed.
  server.Port = static_cast<std::int16_t>(
      static_cast<std::uint16_t>(static_cast<unsigned>(basePort) + static_cast<unsigned>(index)));

  char value[kTextBytes];
  ReadProfileString(kProfileSection, "Timeout", "Off", value, sizeof value, kProfileFileName);
  server.TimeoutEnabled = std::strcmp(value, "Off") != 0;

  const int millis = ReadProfileInt(kProfileSection, "TimeoutVal", kDefaultTimeoutMillis,
                                    kProfileFileName);
  server.Timeout.seconds = millis / 1000;
  server.Timeout.micros = (millis % 1000) * 1000;

  ReadProfileString(kProfileSection, "SpawnConfirm", "On", value, sizeof value,
                    kProfileFileName);
  server.SpawnConfirm = std::strcmp(value, "Off") != 0;
}

bool SpawnConsoleServer(std::uint32_t goid, const char* templateName) {
  ServerRegistry& registry = Registry();
  // The first spawn makes the registry lock. Should two first spawns meet, one lock wins and
  // both use it; the other is never used (locks are never destroyed).
  platform::Mutex* registryLock = registry.Lock.load(std::memory_order_acquire);
  if (registryLock == nullptr) {
    platform::Mutex* made = platform::CreateRecursiveMutex();
    if (made == nullptr) return false;
    registryLock = registry.Lock.compare_exchange_strong(registryLock, made,
                                                         std::memory_order_acq_rel)
                       ? made
                       : registryLock;
  }

  // calloc hands back fresh zero pages for a block this size, so the 6.3 MiB of pending slots
  // cost address space, not resident memory, until they are used.
  void* block = std::calloc(1, sizeof(ConsoleServer));
  if (block == nullptr) return false;
  auto* server = new (block) ConsoleServer;  // default-initialisation keeps the zeros
  server->ListenLock = platform::CreateRecursiveMutex();
  server->StateLock = platform::CreateRecursiveMutex();
  if (server->ListenLock == nullptr || server->StateLock == nullptr) {
    // Locks are never destroyed elsewhere either; a lock that was created simply stays.
    std::free(block);
    return false;
  }
  server->ListenSocket.store(-1, std::memory_order_relaxed);

  {
    MutexHold hold(registryLock);
    const int index = registry.Count.load(std::memory_order_relaxed);
    if (index >= kMaxServers) {
      std::free(block);
      return false;
    }
    registry.Servers[index] = server;
    server->GoID = goid;
    CopyText(server->TemplateName, sizeof server->TemplateName,
             templateName != nullptr ? templateName : "");
    FormatText(server->ThisPrefix, sizeof server->ThisPrefix, "MakeGoid(%d).",
               static_cast<int>(goid));
    ConfigureServer(*server, index);
    registry.GoIDs[index] = goid;
    registry.Count.store(index + 1, std::memory_order_release);
  }
  return StartThread(ListenerThread, server);
}

}  // namespace qc
