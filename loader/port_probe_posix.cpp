// The port probe with BSD sockets.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "loader/port_probe.h"

namespace qc::loader {

bool CanListenOn(std::uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  const int on = 1;
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  const bool bound = ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                     ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  (void)::close(s);
  return bound;
}

}  // namespace qc::loader
