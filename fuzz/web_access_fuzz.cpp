// quillaret-web's access rules (CheckRequest: the token, Host, Origin and the headers that make
// a request malformed) on arbitrary requests, against the rules written plainly here: the
// verdict, checked in the rules' order, and the path handed on.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "web/access.h"

namespace {

using qc::web::Verdict;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Four decimal numbers of one to three digits, each at most 255, between three dots.
bool PlainDottedQuad(std::string_view name) {
  int parts = 0;
  std::size_t digits = 0;
  int value = 0;
  for (const char c : name) {
    if (c == '.') {
      if (digits == 0 || ++parts > 3) return false;
      digits = 0;
      value = 0;
    } else if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (++digits > 3 || value > 255) return false;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

// The authorities that name the served address: ADDRESS:PORT, localhost:PORT for a loopback
// address (127.x.y.z) or every address, and any dotted quad for every address.
bool ModelNames(const qc::web::AccessRules& rules, std::string_view authority) {
  const std::string port = ":" + std::to_string(rules.port);
  if (authority.size() < port.size() || authority.substr(authority.size() - port.size()) != port) {
    return false;
  }
  const std::string_view name = authority.substr(0, authority.size() - port.size());
  const bool every = rules.listenAddress == "0.0.0.0";
  if (name == "localhost") return every || StartsWith(rules.listenAddress, "127.");
  return every ? PlainDottedQuad(name) : name == rules.listenAddress;
}

Verdict Model(const qc::web::AccessRules& rules, const qc::web::RequestHeaders& request,
              std::string& path) {
  if (request.hostCount > 1 || request.originCount > 1 || request.transferEncodingCount > 1 ||
      (request.transferEncodingCount == 1 && request.transferEncoding != "chunked")) {
    return Verdict::kMalformed;
  }
  const std::string prefix = "/" + rules.token + "/";
  if (rules.token.empty() || !StartsWith(request.target, prefix)) return Verdict::kNoToken;
  if (request.hostCount == 0 || !ModelNames(rules, request.host)) return Verdict::kWrongHost;
  if (request.originCount == 1 &&
      !(StartsWith(request.origin, "http://") && ModelNames(rules, request.origin.substr(7)))) {
    return Verdict::kWrongOrigin;
  }
  const std::string_view rest = request.target.substr(prefix.size());
  path = std::string(rest.substr(0, rest.find('?')));
  return Verdict::kAllowed;
}

// An authority as a browser or an attacker might send it: the served one, localhost, another
// dotted quad, a name, each with the served port or another; or bytes.
std::string Authority(qc::fuzz::Input& in, const qc::web::AccessRules& rules) {
  const std::uint8_t how = in.Byte();
  std::string name;
  switch (how % 6) {
    case 0:
      name = rules.listenAddress;
      break;
    case 1:
      name = "localhost";
      break;
    case 2:
      name = std::to_string(in.Byte()) + "." + std::to_string(in.Byte()) + "." +
             std::to_string(in.Byte()) + "." + std::to_string(in.Byte());
      break;
    case 3:
      name = in.Bytes(in.Byte() % 24);
      break;
    case 4:
      return in.Bytes(in.Byte() % 40);
    default:
      name = rules.listenAddress + in.Bytes(in.Byte() % 4);
      break;
  }
  const std::string port = (how / 6) % 4 == 0
                               ? in.Bytes(in.Byte() % 8)
                               : std::to_string((how / 6) % 4 == 1 ? in.Word() : rules.port);
  return name + ":" + port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::Input in(data, size);
  static const char* const kListen[] = {"127.0.0.1", "0.0.0.0", "192.168.7.20", "127.8.9.10"};
  qc::web::AccessRules rules;
  const std::uint8_t setup = in.Byte();
  rules.listenAddress = kListen[setup % 4];
  rules.port = in.Word();
  rules.token =
      (setup / 4) % 4 == 0 ? in.Bytes(in.Byte() % 40) : "3f2a9c0d41e5b6a78c9d0e1f2a3b4c5d";

  // The target: mostly the token's form, sometimes bent.
  std::string target;
  switch (in.Byte() % 4) {
    case 0:
      target = "/" + rules.token + "/" + in.Bytes(in.Byte());
      break;
    case 1:
      target = in.Bytes(in.Byte());
      break;
    case 2:
      target = "/" + rules.token + in.Bytes(in.Byte() % 8);
      break;
    default:
      target = "/" + rules.token.substr(0, in.Byte() % 40) + in.Bytes(in.Byte() % 8);
      break;
  }
  qc::web::RequestHeaders request;
  request.target = target;
  const std::uint8_t counts = in.Byte();
  request.hostCount = counts % 3;
  request.originCount = (counts / 3) % 3;
  request.transferEncodingCount = (counts / 9) % 3;
  const std::string host = Authority(in, rules);
  const std::string origin =
      (counts / 27) % 3 == 0 ? "http://" + Authority(in, rules) : in.Bytes(in.Byte() % 48);
  const std::string encoding = (counts / 81) % 2 == 0 ? "chunked" : in.Bytes(in.Byte() % 12);
  request.host = host;
  request.origin = origin;
  request.transferEncoding = encoding;

  std::string path = "untouched";
  std::string expectedPath = "untouched";
  const Verdict verdict = qc::web::CheckRequest(rules, request, path);
  const Verdict expected = Model(rules, request, expectedPath);
  QC_FUZZ_CHECK(verdict == expected);
  QC_FUZZ_CHECK(path == expectedPath);  // handed on only when allowed
  return 0;
}
