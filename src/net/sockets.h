// The socket layer: the six operations through which the console touches the network.
// Failures of the listening and accepting steps are written to the diagnostic stream.
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

// Blocks until a connection arrives. The socket; or, after "QC_ERROR: accept() failed\n",
// platform::kAcceptAgain when a later accept can succeed (see platform.h) and -1 when the
// listening socket cannot accept at all.
Socket AcceptClient(Socket listening);

// Waits until s is readable or the timeout has passed: positive, 0 (time ran out), or negative.
int WaitReadable(Socket s, const platform::Timeout& timeout);

// What SendAll returns when the client took nothing for the whole time limit.
constexpr int kSendTimedOut = -2;

// Sends length bytes, continuing after partial sends, and sets length to the bytes sent.
// 0 when every byte went out (or length was 0 or negative, then set to 0); -1 when a send
// failed; kSendTimedOut when the client took nothing for limitMillis milliseconds (0: no
// limit) at any point. The limit starts afresh whenever the client takes some bytes, so a
// slow reader is never cut off. A send that timed out leaves the stream cut in the middle of
// a line: SendAll then writes "QC_ERROR: send() timed out\n" and shuts the connection down, so
// that the client's own session ends. Never raises a signal on a broken connection.
int SendAll(Socket s, const char* bytes, int& length, int limitMillis);

// The same over given operations, so the loop can be driven by fakes in tests; it neither
// writes the diagnostic nor shuts the connection down.
struct SendOperations {
  int (*sendNow)(Socket s, const char* data, int length);  // as platform::SendSomeNow
  int (*waitWritable)(Socket s, int millis);                // as platform::WaitForWritable
};
int SendAllVia(const SendOperations& operations, Socket s, const char* bytes, int& length,
               int limitMillis);

// Writes the peer's address as a dotted quad into out (kAddressTextBytes bytes);
// "0.0.0.0" when it cannot be read.
void GetPeerAddressText(Socket s, char* out);

// Reads an IPv4 address written as exactly four decimal fields from 0 to 255, separated by
// dots, without signs, blanks or leading zeros, into address (host byte order). False, with
// address unchanged, for anything else; "10.1", hex and octal forms included.
bool ParseAddressText(const char* text, std::uint32_t& address);

// Closes a connection. The platform's result; callers ignore it.
int CloseClient(Socket s);

}  // namespace qc
