// Spawning a console for a game object: a new record, configured from the profile file,
// registered, and its listener started.
#pragma once

#include <cstdint>

#include "server/console_server.h"

namespace qc {

// Makes, configures and registers a server, then starts its loop. False when the registry is
// full or memory or a lock cannot be had (nothing is then registered and nothing kept), or when
// the loop cannot be started (the server stays registered, serving nobody).
bool SpawnConsoleServer(std::uint32_t goid, const char* templateName);

// Fills a server's configuration (port from BasePort + index, listening address, receive and
// send time limits, send buffer limit, spawn-confirm flag, password) from the profile file,
// read anew. A BindAddress that is no IPv4 address, or a Password too long for the record, is
// reported on the diagnostic stream and leaves the server without a port, so that it is never
// open wider than configured.
void ConfigureServer(ConsoleServer& server, int index);

}  // namespace qc
