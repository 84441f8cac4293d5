// The port probes with BSD sockets and the Linux table of connections.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "loader/port_probe.h"

namespace qc::loader {
namespace {

// Binds a TCP socket to port on every local IPv4 address and closes it again: true when the
// bind succeeded.
bool TryBind(std::uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  // SO_REUSEADDR, as the library sets it on its listening socket here: on Linux it only lets a
  // port whose old connections are in TIME_WAIT be bound again (a host restarted just after a
  // developer left), and never binds over a listener. Without it the probe would call such a
  // port taken although the console can open it.
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

}  // namespace

bool CanListenOn(std::uint16_t port) { return TryBind(port); }

bool ListeningOn(std::uint16_t port) {
  std::FILE* table = std::fopen("/proc/net/tcp", "r");
  if (table == nullptr) return true;
  // "  sl  local_address rem_address   st ...": addresses as hex IP:port, st 0A is LISTEN.
  char line[512];
  bool listening = false;
  bool header = true;
  while (!listening && std::fgets(line, sizeof line, table) != nullptr) {
    if (header) {
      header = false;
      continue;
    }
    unsigned localPort = 0;
    unsigned state = 0;
    if (std::sscanf(line, " %*u: %*8x:%4x %*8x:%*4x %2x", &localPort, &state) == 2) {
      listening = localPort == port && state == 0x0a;
    }
  }
  std::fclose(table);
  return listening;
}

}  // namespace qc::loader
