// Checks on every request the page's server takes.
#include "web/access.h"

#include <cstdio>

#include "web/web_options.h"

namespace qc::web {
namespace {

// Whether a Host header's value (or an Origin's after "http://") names the served address:
// NAME:PORT with PORT the served port, and NAME the served address, or localhost when that is a
// loopback address, or any dotted quad when every address is served. A name that is not an
// address (a rebound one) never matches, except localhost.
bool NamesServedAddress(const AccessRules& rules, std::string_view authority) {
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string name(authority.substr(0, colon));
  if (authority.substr(colon + 1) != std::to_string(rules.port)) return false;
  const bool loopback = rules.listenAddress.rfind("127.", 0) == 0;
  if (name == "localhost") return loopback || rules.listenAddress == "0.0.0.0";
  if (rules.listenAddress == "0.0.0.0") return IsDottedQuad(name);
  return name == rules.listenAddress;
}

// Compares without stopping at the first difference, so the time taken tells nothing of the
// token.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
  }
  return difference == 0;
}

}  // namespace

Verdict CheckRequest(const AccessRules& rules, const RequestHeaders& request, std::string& path) {
  if (request.hostCount > 1 || request.originCount > 1 ||
      (request.transferEncodingCount > 0 &&
       (request.transferEncodingCount > 1 || request.transferEncoding != "chunked"))) {
    return Verdict::kMalformed;
  }
  const std::string_view target = request.target;
  if (rules.token.empty() || target.size() < rules.token.size() + 2 || target[0] != '/' ||
      !SameText(target.substr(1, rules.token.size()), rules.token) ||
      target[rules.token.size() + 1] != '/') {
    return Verdict::kNoToken;
  }
  if (request.hostCount == 0 || !NamesServedAddress(rules, request.host)) {
    return Verdict::kWrongHost;
  }
  if (request.originCount > 0) {
    constexpr std::string_view kScheme = "http://";
    const std::string_view origin = request.origin;
    if (origin.substr(0, kScheme.size()) != kScheme ||
        !NamesServedAddress(rules, origin.substr(kScheme.size()))) {
      return Verdict::kWrongOrigin;
    }
  }
  std::string_view rest = target.substr(rules.token.size() + 2);
  const std::size_t query = rest.find('?');
  if (query != std::string_view::npos) rest = rest.substr(0, query);
  path.assign(rest);
  return Verdict::kAllowed;
}

std::string MakeToken() {
  unsigned char bytes[16];
  if (!SystemRandom(bytes, sizeof bytes)) return "";
  std::string token;
  char hex[3];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    token += hex;
  }
  return token;
}

}  // namespace qc::web
