// The socket layer: the operations through which the console touches the network.
// Failures of the listening steps are written to the diagnostic stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qc {

using platform::Socket;

constexpr int kListenBacklog = 10;
constexpr std::size_t kAddressTextBytes = 16;  // "255.255.255.255" and the NUL

// Starts the socket library, then creates, configures (address reuse), binds to port on the
// IPv4 address (host byte order; 0 for every local address), and listens. The socket, or -1
// after writing the failing step's line ("QC_ERROR: bind() failed\n" and its siblings; a failed
// bind to one address names it); a socket created before the failure is closed.
Socket CreateListenSocket(std::uint16_t port, std::uint32_t address = 0);

// Takes one waiting connection without waiting. The socket; platform::kAcceptNone when none
// is waiting; platform::kAcceptSkipped when the failure concerned that connection only;
// platform::kAcceptAgain when the process is short of descriptors or memory for now; -1 for a
// failure of any other kind. Writes nothing: the caller knows which failures to report.
Socket AcceptClient(Socket listening);

// Writes the peer's address as a dotted quad into out (kAddressTextBytes bytes) and returns
// true; "0.0.0.0", and false, when it cannot be read.
bool GetPeerAddressText(Socket s, char* out);
// Whether two addresses written by GetPeerAddressText are the same.
bool SameAddress(const char* a, const char* b);

// Reads an IPv4 address written as exactly four decimal fields from 0 to 255, separated by
// dots, without signs, blanks or leading zeros, into address (host byte order). False, with
// address unchanged, for anything else; "10.1", hex and octal forms included.
bool ParseAddressText(const char* text, std::uint32_t& address);

// Closes a connection. The platform's result; callers ignore it.
int CloseClient(Socket s);

}  // namespace qc
