// Who may use the page: the token every request carries, and the Host and Origin headers
// checked against the address the page is served on. The page runs script in the game, so
// another site's page (Origin), a name rebound to this machine (Host) and a request without the
// printed address (token) are all refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qc::web {

struct AccessRules {
  std::string token;          // the first part of every path: /TOKEN/...
  std::string listenAddress;  // a dotted quad; 0.0.0.0 for every address
  std::uint16_t port = 0;     // the port the page is served on
};

enum class Verdict {
  kAllowed,
  kMalformed,    // Host twice, Origin twice, or a Transfer-Encoding other than chunked
  kNoToken,      // the path does not begin with /TOKEN/
  kWrongHost,    // Host names another machine or port (a rebound name)
  kWrongOrigin,  // Origin is another site's
};

// What the checks read of one request: the target as sent ("/TOKEN/console.js?x"), and each
// header's value (the first one) with how many times it came.
struct RequestHeaders {
  std::string_view target;
  std::string_view host;
  int hostCount = 0;
  std::string_view origin;
  int originCount = 0;
  std::string_view transferEncoding;
  int transferEncodingCount = 0;
};

// Checks one request. A header that two parts of a chain could read differently (two Hosts,
// two Origins, a Transfer-Encoding other than exactly "chunked") makes it kMalformed before
// anything else is looked at. On kAllowed, path is what follows "/TOKEN/" without a query (""
// for the page itself).
Verdict CheckRequest(const AccessRules& rules, const RequestHeaders& request, std::string& path);

// 32 hex digits from the system's random source; "" when it cannot be read.
std::string MakeToken();
// Fills bytes from the system's random source (platform_posix.cpp, platform_win32.cpp).
bool SystemRandom(unsigned char* bytes, std::size_t count);

}  // namespace qc::web

namespace qc::web {

// Whether the page's listening socket may take SO_REUSEADDR: on POSIX it only lets a restart
// bind past connections in TIME_WAIT; on Windows it would let another program take the port.
bool ListenerMayReuseAddress();

}  // namespace qc::web
