// The port probes with Windows Sockets and the IP helper's table of connections. Each bind probe
// starts and cleans up the sockets library for itself; Windows counts the starts, so this does
// not disturb the library's own sockets.
#include <winsock2.h>

#include <iphlpapi.h>  // after winsock2.h, which must come before windows.h

#include <cstring>
#include <vector>

#include "loader/port_probe.h"

namespace qc::loader {

namespace {

// Binds a TCP socket to port on every local IPv4 address and closes it again: true when the
// bind succeeded.
bool TryBind(std::uint16_t port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return false;
  bool bound = false;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s != INVALID_SOCKET) {
    // Never SO_REUSEADDR here: on Windows it lets a socket bind a port that another program
    // listens on (unless that one asked for the port exclusively), so a probe with it says
    // "free" for a taken port. The library binds without it. The probe also asks for the port
    // exclusively, so that its bind fails while any socket holds the port, on any local address
    // and whatever options that socket set. Wine cannot show the difference: it binds as Linux
    // does, where SO_REUSEADDR only rebinds a port whose old connections are in TIME_WAIT and
    // never binds over a listener, so under wine a probe with SO_REUSEADDR sees a taken port
    // too. Only real Windows tells the two apart.
    const int on = 1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    bound = setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                       sizeof on) == 0 &&
            bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    (void)closesocket(s);
  }
  WSACleanup();
  return bound;
}

}  // namespace

bool CanListenOn(std::uint16_t port) { return TryBind(port); }

bool ListeningOn(std::uint16_t port) {
  // The table can grow between the call that sizes it and the one that fills it; try again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG size = 0;
    if (GetTcpTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return true;
    std::vector<char> buffer(size);
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    const DWORD result = GetTcpTable(table, &size, FALSE);
    if (result == ERROR_INSUFFICIENT_BUFFER) continue;
    if (result != NO_ERROR) return true;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW& row = table->table[i];
      if (row.dwState == MIB_TCP_STATE_LISTEN &&
          ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
        return true;
      }
    }
    return false;
  }
  return true;
}

}  // namespace qc::loader
