// A host name or dotted quad to an IPv4 address, the same on both systems (getaddrinfo).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <string>

namespace qc::attach {

// The first IPv4 address of host (a dotted quad is taken as it is). False when it has none.
bool ResolveIpv4(const std::string& host, in_addr& address);

}  // namespace qc::attach
