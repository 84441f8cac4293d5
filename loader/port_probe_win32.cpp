// The port probe with Windows Sockets. Each probe starts and cleans up the sockets library for
// itself; Windows counts the starts, so this does not disturb the library's own sockets.
#include <winsock2.h>

#include <cstring>

#include "loader/port_probe.h"

namespace qc::loader {

bool CanListenOn(std::uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return false;
  bool bound = false;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s != INVALID_SOCKET) {
    const int on = 1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    bound = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                       sizeof on) == 0 &&
            bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    (void)closesocket(s);
  }
  WSACleanup();
  return bound;
}

}  // namespace qc::loader
