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

enum class BindResult { kBound, kRefused, kNoSocket };

// Binds a TCP socket to port on every local IPv4 address, with or without address reuse, and
// closes it again.
BindResult TryBind(std::uint16_t port, bool reuseAddress) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 0), &data) != 0) return BindResult::kNoSocket;
  BindResult result = BindResult::kNoSocket;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s != INVALID_SOCKET) {
    const int on = 1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    const bool bound =
        (!reuseAddress || setsockopt(s, SOL_SOCKET, SO_REUSEADDR,
                                     reinterpret_cast<const char*>(&on), sizeof on) == 0) &&
        bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    result = bound ? BindResult::kBound : BindResult::kRefused;
    (void)closesocket(s);
  }
  WSACleanup();
  return result;
}

}  // namespace

bool CanListenOn(std::uint16_t port) { return TryBind(port, true) == BindResult::kBound; }

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
