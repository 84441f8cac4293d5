// Spawning: a new record, its configuration from the profile file, and its registration.
#include "host/spawn.h"

#include <cstring>

#include "common/diagnostic.h"
#include "common/locks.h"
#include "net/limits.h"
#include "net/loop.h"
#include "net/password_gate.h"
#include "net/sockets.h"

namespace qc {

void ConfigureServer(ConsoleServer& server, int index) {
  using platform::ReadProfileInt;
  using platform::ReadProfileString;
  const int basePort =
      ReadProfileInt(kProfileSection, "BasePort", kDefaultBasePort, kProfileFileName);
  // The port is kept in 16 bits: it is bound as unsigned and printed as signed.
  server.Port = static_cast<std::int16_t>(
      static_cast<std::uint16_t>(static_cast<unsigned>(basePort) + static_cast<unsigned>(index)));

  char value[kTextBytes];
  ReadProfileString(kProfileSection, "Timeout", "Off", value, sizeof value, kProfileFileName);
  server.TimeoutEnabled = std::strcmp(value, "Off") != 0;

  // Below the least, a time-out would notify a silent client without pause.
  int millis =
      ReadProfileInt(kProfileSection, "TimeoutVal", kDefaultTimeoutMillis, kProfileFileName);
  if (millis < kLeastTimeoutMillis) millis = kLeastTimeoutMillis;
  server.Timeout.seconds = millis / 1000;
  server.Timeout.micros = (millis % 1000) * 1000;

  // 0 lets a send wait without limit; a negative time means nothing, so it gets the default.
  const int sendMillis = ReadProfileInt(kProfileSection, "SendTimeoutVal",
                                        kDefaultSendTimeoutMillis, kProfileFileName);
  server.SendTimeoutMillis = sendMillis < 0 ? kDefaultSendTimeoutMillis : sendMillis;

  // In KiB, read within the least and the most of net/limits.h.
  int bufferKiB =
      ReadProfileInt(kProfileSection, "SendBufferVal", kDefaultSendBufferKiB, kProfileFileName);
  if (bufferKiB < kLeastSendBufferKiB) bufferKiB = kLeastSendBufferKiB;
  if (bufferKiB > kMostSendBufferKiB) bufferKiB = kMostSendBufferKiB;
  server.SendBufferBytes = std::size_t{static_cast<unsigned>(bufferKiB)} * 1024;

  ReadProfileString(kProfileSection, "SpawnConfirm", "On", value, sizeof value, kProfileFileName);
  server.SpawnConfirm = std::strcmp(value, "Off") != 0;

  server.ListenRefused = false;
  server.ListenAddress = 0;
  ReadProfileString(kProfileSection, "BindAddress", "", value, sizeof value, kProfileFileName);
  if (value[0] != '\0' && !ParseAddressText(value, server.ListenAddress)) {
    char line[kNameBytes];
    FormatText(line, sizeof line, "QC_ERROR: BindAddress \"%.900s\" is not an IPv4 address\n",
               value);
    WriteDiagnostic(line);
    server.ListenRefused = true;
  }
  ReadProfileString(kProfileSection, "Password", "", value, sizeof value, kProfileFileName);
  if (!CopyText(server.Password, sizeof server.Password, value)) {
    WriteDiagnostic("QC_ERROR: Password is longer than 1023 characters\n");
    server.ListenRefused = true;
  }
}

bool SpawnConsoleServer(std::uint32_t goid, const char* templateName) {
  platform::Mutex* registryLock = RegistryLock();
  // The password gate is the process's too: its lock is made before any console runs.
  if (registryLock == nullptr || PasswordGateLock() == nullptr) return false;
  ConsoleServer* server = NewConsoleServer(goid, templateName);
  if (server == nullptr) return false;
  ServerRegistry& registry = Registry();
  {
    MutexHold hold(registryLock);
    const int index = registry.Count.load(std::memory_order_relaxed);
    if (index >= kMaxServers) {
      DeleteConsoleServer(server);
      return false;
    }
    ConfigureServer(*server, index);
    registry.Servers[index] = server;
    registry.GoIDs[index] = goid;
    registry.Count.store(index + 1, std::memory_order_release);
  }
  return StartConsole(*server);
}

}  // namespace qc
