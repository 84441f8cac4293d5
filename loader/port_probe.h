// Lets a host check, before it spawns a console, that the console will be able to open its port,
// and afterwards that it has. The library opens the port on its own thread after SpawnServer has
// returned and reports a failure only on standard error, so a host that wants to tell the
// developer must ask the system.
#pragma once

#include <cstdint>

namespace qc::loader {

// True when a listening socket could be bound to port on every local IPv4 address right now, as
// the library binds its own: binds a TCP socket and closes it again. On Linux with SO_REUSEADDR,
// as the library (a port whose old connections are in TIME_WAIT is free); on Windows without it
// and with SO_EXCLUSIVEADDRUSE (a port that any socket holds, on any address, is taken). False
// when the port is taken (for example by another program listening there) or no socket can be
// made.
bool CanListenOn(std::uint16_t port);

// True when a TCP socket of this machine listens on port (IPv4), read from the system's table of
// connections (/proc/net/tcp on Linux, GetTcpTable on Windows); nothing is bound or connected, so
// asking cannot disturb the console or start a session. After a spawn a host can wait for this
// before it tells developers where to attach. When the table cannot be read the answer is true:
// the caller cannot tell, and should not wait.
bool ListeningOn(std::uint16_t port);

}  // namespace qc::loader
