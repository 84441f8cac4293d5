// quillaret-web's rules without a network: who may use the page, the command line, and the
// messages between it and the page.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "web/access.h"
#include "web/messages.h"
#include "web/web_options.h"

namespace qc::web {
namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

Verdict Check(const AccessRules& rules, const std::string& target, const std::string& host,
              const char* origin, std::string* path = nullptr) {
  std::string rest;
  RequestHeaders headers;
  headers.target = target;
  headers.host = host;
  headers.hostCount = 1;
  headers.origin = origin != nullptr ? origin : "";
  headers.originCount = origin != nullptr ? 1 : 0;
  const Verdict verdict = CheckRequest(rules, headers, rest);
  if (path != nullptr) *path = rest;
  return verdict;
}

TEST(WebAccess, TheTokenIsTheFirstWholePartOfThePath) {
  const AccessRules rules{kToken, "127.0.0.1", 8080};
  std::string path;
  EXPECT_EQ(Check(rules, "/" + kToken + "/", "127.0.0.1:8080", nullptr, &path), Verdict::kAllowed);
  EXPECT_EQ(path, "");
  EXPECT_EQ(Check(rules, "/" + kToken + "/console.js?v=1", "127.0.0.1:8080", nullptr, &path),
            Verdict::kAllowed);
  EXPECT_EQ(path, "console.js");
  for (const std::string& target : std::vector<std::string>{
           "/", "/console.js", "/" + kToken, "/" + kToken + "x/", "/x" + kToken + "/",
           "/" + kToken.substr(0, 31) + "/", "//" + kToken + "/", "/?token=" + kToken}) {
    EXPECT_EQ(Check(rules, target, "127.0.0.1:8080", nullptr), Verdict::kNoToken) << target;
  }
  EXPECT_EQ(Check(AccessRules{"", "127.0.0.1", 8080}, "//", "127.0.0.1:8080", nullptr),
            Verdict::kNoToken);
}

TEST(WebAccess, HostMustNameTheServedAddressAndPort) {
  const AccessRules loopback{kToken, "127.0.0.1", 8080};
  const std::string page = "/" + kToken + "/";
  EXPECT_EQ(Check(loopback, page, "localhost:8080", nullptr), Verdict::kAllowed);
  for (const char* host : {"127.0.0.1", "127.0.0.1:80", "127.0.0.2:8080", "rebound.example:8080",
                           "localhost.example:8080", "", "127.0.0.1:8080x", "[::1]:8080"}) {
    EXPECT_EQ(Check(loopback, page, host, nullptr), Verdict::kWrongHost) << host;
  }
  const AccessRules lan{kToken, "192.168.1.5", 8080};
  EXPECT_EQ(Check(lan, page, "192.168.1.5:8080", nullptr), Verdict::kAllowed);
  EXPECT_EQ(Check(lan, page, "localhost:8080", nullptr), Verdict::kWrongHost);
  // Every address served: any address may be named, but never a name other than localhost.
  const AccessRules every{kToken, "0.0.0.0", 8080};
  EXPECT_EQ(Check(every, page, "10.1.2.3:8080", nullptr), Verdict::kAllowed);
  EXPECT_EQ(Check(every, page, "game-box:8080", nullptr), Verdict::kWrongHost);
  EXPECT_EQ(Check(every, page, "10.1.2.3.example:8080", nullptr), Verdict::kWrongHost);
}

TEST(WebAccess, AnOriginMustBeThePagesOwn) {
  const AccessRules rules{kToken, "127.0.0.1", 8080};
  const std::string socket = "/" + kToken + "/ws";
  EXPECT_EQ(Check(rules, socket, "127.0.0.1:8080", "http://127.0.0.1:8080"), Verdict::kAllowed);
  EXPECT_EQ(Check(rules, socket, "127.0.0.1:8080", "http://localhost:8080"), Verdict::kAllowed);
  for (const char* origin :
       {"http://attacker.example", "http://127.0.0.1:8081", "null", "", "https://127.0.0.1:8080",
        "http://127.0.0.1:8080.example:8080", "file://"}) {
    EXPECT_EQ(Check(rules, socket, "127.0.0.1:8080", origin), Verdict::kWrongOrigin) << origin;
  }
}

TEST(WebAccess, TokensAreFreshRandomHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string token = MakeToken();
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 20u);
}

TEST(WebAccess, HeadersThatCouldBeReadTwoWaysAreMalformed) {
  const AccessRules rules{kToken, "127.0.0.1", 8080};
  const std::string page = "/" + kToken + "/";
  struct Case {
    int hosts, origins, encodings;
    const char* encoding;
    Verdict verdict;
  };
  for (const Case& c :
       {Case{1, 0, 0, "", Verdict::kAllowed}, Case{1, 1, 1, "chunked", Verdict::kAllowed},
        Case{2, 0, 0, "", Verdict::kMalformed}, Case{1, 2, 0, "", Verdict::kMalformed},
        Case{0, 0, 0, "", Verdict::kWrongHost}, Case{1, 0, 1, "xchunked", Verdict::kMalformed},
        Case{1, 0, 1, "chunked, gzip", Verdict::kMalformed},
        Case{1, 0, 1, "Chunked ", Verdict::kMalformed},
        Case{1, 0, 2, "chunked", Verdict::kMalformed}}) {
    RequestHeaders headers;
    headers.target = page;
    headers.host = "127.0.0.1:8080";
    headers.hostCount = c.hosts;
    headers.origin = "http://127.0.0.1:8080";
    headers.originCount = c.origins;
    headers.transferEncoding = c.encoding;
    headers.transferEncodingCount = c.encodings;
    std::string path;
    EXPECT_EQ(CheckRequest(rules, headers, path), c.verdict)
        << c.hosts << " " << c.origins << " " << c.encodings << " " << c.encoding;
  }
}

TEST(WebMessages, EveryKindIsReadAndAMalformedMessageIsNamed) {
  using Kind = PageRequest::Kind;
  struct Good {
    const char* json;
    Kind kind;
    const char* text;
  };
  for (const Good& g :
       {Good{R"({"t":"list"})", Kind::kList, ""},
        Good{R"({"t":"open","goid":-7})", Kind::kOpen, "-7"},
        Good{R"({"t":"open","goid":4294967295})", Kind::kOpen, "4294967295"},
        Good{R"({"t":"open","object":"gob\u00e9"})", Kind::kOpen, "gob\xc3\xa9"},
        Good{R"({"t":"line","text":"a\nb\"c"})", Kind::kLine, "a\nb\"c"},
        Good{R"({"t":"password","text":""})", Kind::kPassword, ""},
        Good{R"({"t":"complete","text":"[this].Ge","x":1})", Kind::kComplete, "[this].Ge"},
        Good{R"({"t":"quit"})", Kind::kQuit, ""}}) {
    PageRequest request;
    std::string error;
    ASSERT_TRUE(ReadPageRequest(g.json, request, error)) << g.json << ": " << error;
    EXPECT_EQ(request.kind, g.kind) << g.json;
    EXPECT_EQ(request.text, g.text) << g.json;
  }
  struct Bad {
    const char* json;
    const char* error;
  };
  for (const Bad& b :
       {Bad{"Lhello", "not JSON"}, Bad{R"({"t":"line","text":"a")", "not JSON"}, Bad{"[1]", "kind"},
        Bad{R"({"t":7})", "kind"}, Bad{R"({"t":"fly"})", "unknown kind \"fly\""},
        Bad{R"({"t":"line"})", "\"line\" needs a text"},
        Bad{R"({"t":"line","text":5})", "needs a text"},
        Bad{R"({"t":"open","goid":"42"})", "needs a GoID"},
        Bad{R"({"t":"open","goid":4294967296})", "needs a GoID"},
        Bad{R"({"t":"open","object":""})", "needs a GoID"},
        Bad{"{\"t\":\"line\",\"text\":\"\xff\"}", "not JSON"}}) {
    PageRequest request;
    std::string error;
    EXPECT_FALSE(ReadPageRequest(b.json, request, error)) << b.json;
    EXPECT_NE(error.find(b.error), std::string::npos) << b.json << ": " << error;
  }
}

TEST(WebMessages, WhatReachesThePageIsValidUtf8AndNamesWhatWasEscaped) {
  attach::SpawnRow row;
  row.port = 40000;
  row.printedGoid = -2;
  row.templateName = "gob\xfflin";
  EXPECT_EQ(Serialize(RowObject(row)),
            R"({"port":40000,"goid":-2,"name":"gob\\xfflin","exact":false})");
  row.templateName = "gobl\xc3\xa9";
  EXPECT_EQ(Serialize(RowObject(row)),
            "{\"port\":40000,\"goid\":-2,\"name\":\"gobl\xc3\xa9\","
            "\"exact\":true}");
  // History lines the page could not show as typed are left out; quotes are escaped.
  EXPECT_EQ(HistoryMessage({"a\"b", "bad\xff", "bell\x07", "tab\tok", "\xe2\x80\xae"}),
            R"({"t":"history","lines":["a\"b","tab\tok"]})");
  EXPECT_EQ(ErrorMessage("x</script>"), R"({"t":"error","text":"x</script>"})");
}

TEST(WebOptions, LoopbackUnlessAnAddressIsGiven) {
  WebOptions options;
  std::string error;
  ASSERT_TRUE(ParseWebOptions({"8080"}, options, error)) << error;
  EXPECT_EQ(options.listenAddress, "127.0.0.1");
  EXPECT_FALSE(options.addressGiven);
  EXPECT_EQ(options.listenPort, 8080);
  WebOptions every;
  ASSERT_TRUE(
      ParseWebOptions({"--host", "game-box", "--base-port", "31000", "0.0.0.0:0"}, every, error))
      << error;
  EXPECT_EQ(every.listenAddress, "0.0.0.0");
  EXPECT_TRUE(every.addressGiven);
  EXPECT_EQ(every.listenPort, 0);
  EXPECT_EQ(every.host, "game-box");
  EXPECT_EQ(BasePortOf(every), 31000);
  WebOptions named;
  ASSERT_TRUE(ParseWebOptions({"localhost:9000"}, named, error)) << error;
  EXPECT_EQ(named.listenAddress, "127.0.0.1");
  // QUILLARET_HOST and QUILLARET_BASE_PORT count under the options, as for quillaret-attach.
  WebOptions fromEnvironment;
  ASSERT_TRUE(
      ParseWebOptions({"--host", "given", "9000"}, fromEnvironment, error, "game-box", "32000"))
      << error;
  EXPECT_EQ(fromEnvironment.host, "given");
  EXPECT_EQ(BasePortOf(fromEnvironment), 32000);
  EXPECT_FALSE(ParseWebOptions({"9000"}, fromEnvironment, error, "", "port"));
  // As quillaret-attach: --version alone will do, and the usage begins "Usage:".
  WebOptions version;
  ASSERT_TRUE(ParseWebOptions({"--version"}, version, error)) << error;
  EXPECT_TRUE(version.version);
  EXPECT_EQ(WebVersionText().rfind("quillaret-web ", 0), 0u);
  EXPECT_EQ(WebUsageText().rfind("Usage: quillaret-web ", 0), 0u);
}

TEST(WebOptions, WrongCommandLinesAreRefusedWithAReason) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"65536"},
                                             {"web.example:80"},
                                             {"1.2.3:80"},
                                             {"256.1.1.1:80"},
                                             {"80", "81"},
                                             {"--base-port", "0", "80"},
                                             {"--host"},
                                             {"--web", "80"},
                                             {":80x"}}) {
    WebOptions options;
    std::string error;
    EXPECT_FALSE(ParseWebOptions(args, options, error)) << testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace qc::web
