// Lets a host check, before it spawns a console, that the console will be able to open its port.
// The library opens the port on its own thread after SpawnServer has returned and reports a
// failure only on standard error, so a host that wants to tell the developer must ask first.
#pragma once

#include <cstdint>

namespace qc::loader {

// True when a listening socket could be bound to port on every local IPv4 address right now,
// with the same address-reuse option the library sets: binds a TCP socket and closes it again.
// False when the port is taken (for example by another program listening there) or no socket
// can be made.
bool CanListenOn(std::uint16_t port);

}  // namespace qc::loader
