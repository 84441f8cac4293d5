// The socket layer's portable steps; the OS calls themselves are in the platform layer.
#include "net/sockets.h"

#include <cstring>

#include "common/diagnostic.h"
#include "common/fixed_text.h"

namespace qc {
namespace {

Socket FailListen(Socket created, const char* message) {
  WriteDiagnostic(message);
  // The half-built socket is of no use to anyone; closing it returns the port and descriptor.
  if (created >= 0) (void)platform::CloseSocket(created);
  return -1;
}

}  // namespace

Socket CreateListenSocket(std::uint16_t port, std::uint32_t address) {
  if (platform::StartSocketLibrary() != 0) {  // GCOVR_EXCL_BR_LINE: fails only on Windows
    return FailListen(-1, "QC_ERROR: WSAStartup() failed]\n");  // GCOVR_EXCL_LINE: Windows only
  }
  const Socket s = platform::CreateTcpSocket();
  if (s < 0) return FailListen(-1, "QC_ERROR: socket() failed\n");
  if (platform::EnableAddressReuse(s) < 0) return FailListen(s, "QC_ERROR: setsockopt() failed\n");
  if (platform::BindTo(s, address, port) < 0) {
    char line[64] = "QC_ERROR: bind() failed\n";
    if (address != 0) {
      FormatText(line, sizeof line, "QC_ERROR: bind() failed (BindAddress %u.%u.%u.%u)\n",
                 address >> 24, (address >> 16) & 255u, (address >> 8) & 255u, address & 255u);
    }
    return FailListen(s, line);
  }
  if (platform::ListenOn(s, kListenBacklog) < 0)
    return FailListen(s, "QC_ERROR: listen() failed\n");
  return s;
}

Socket AcceptClient(Socket listening) { return platform::AcceptConnection(listening); }

bool SameAddress(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool GetPeerAddressText(Socket s, char* out) {
  std::uint8_t octets[4] = {0, 0, 0, 0};
  if (platform::PeerAddress(s, octets) != 0) {
    CopyText(out, kAddressTextBytes, "0.0.0.0");
    return false;
  }
  FormatText(out, kAddressTextBytes, "%u.%u.%u.%u", unsigned{octets[0]}, unsigned{octets[1]},
             unsigned{octets[2]}, unsigned{octets[3]});
  return true;
}

bool ParseAddressText(const char* text, std::uint32_t& address) {
  std::uint32_t parsed = 0;
  for (int field = 0; field < 4; ++field) {
    if (field > 0 && *text++ != '.') return false;
    unsigned value = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits) {
      value = value * 10 + static_cast<unsigned>(*text - '0');
    }
    if (digits == 0 || value > 255 || (digits > 1 && text[-digits] == '0')) return false;
    parsed = parsed << 8 | value;
  }
  if (*text != '\0') return false;
  address = parsed;
  return true;
}

int CloseClient(Socket s) { return platform::CloseSocket(s); }

}  // namespace qc
