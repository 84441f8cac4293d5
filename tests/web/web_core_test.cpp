// quillaret-web's rules without a network: who may use the page, the command line, and the
// JSON texts the page reads.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "web/access.h"
#include "web/web_options.h"

namespace qc::web {
namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

Verdict Check(const AccessRules& rules, const std::string& target, const std::string& host,
              const char* origin, std::string* path = nullptr) {
  std::string rest;
  const Verdict verdict = CheckRequest(rules, target, host, origin != nullptr,
                                       origin != nullptr ? origin : "", rest);
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
  for (const std::string& target :
       std::vector<std::string>{"/", "/console.js", "/" + kToken, "/" + kToken + "x/", "/x" + kToken + "/",
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
  for (const char* origin : {"http://attacker.example", "http://127.0.0.1:8081", "null", "",
                             "https://127.0.0.1:8080", "http://127.0.0.1:8080.example:8080",
                             "file://"}) {
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

TEST(WebAccess, JsonTextEscapesWhatWouldEndOrBreakTheString) {
  EXPECT_EQ(JsonText("a\"b\\c\td\x01\x7f\xc3\xa9"), "\"a\\\"b\\\\c\\u0009d\\u0001\\u007f\xc3\xa9\"");
  EXPECT_EQ(JsonText("</script>"), "\"</script>\"");
}

TEST(WebOptions, LoopbackUnlessAnAddressIsGiven) {
  WebOptions options;
  std::string error;
  ASSERT_TRUE(ParseWebOptions({"8080"}, options, error)) << error;
  EXPECT_EQ(options.listenAddress, "127.0.0.1");
  EXPECT_FALSE(options.addressGiven);
  EXPECT_EQ(options.listenPort, 8080);
  WebOptions every;
  ASSERT_TRUE(ParseWebOptions({"--host", "game-box", "--base-port", "31000", "0.0.0.0:0"}, every,
                              error))
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
  ASSERT_TRUE(ParseWebOptions({"--host", "given", "9000"}, fromEnvironment, error, "game-box",
                              "32000"))
      << error;
  EXPECT_EQ(fromEnvironment.host, "given");
  EXPECT_EQ(BasePortOf(fromEnvironment), 32000);
  EXPECT_FALSE(ParseWebOptions({"9000"}, fromEnvironment, error, "", "port"));
}

TEST(WebOptions, WrongCommandLinesAreRefusedWithAReason) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"65536"}, {"web.example:80"}, {"1.2.3:80"}, {"256.1.1.1:80"}, {"80", "81"},
           {"--base-port", "0", "80"}, {"--host"}, {"--web", "80"}, {":80x"}}) {
    WebOptions options;
    std::string error;
    EXPECT_FALSE(ParseWebOptions(args, options, error)) << testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace qc::web
