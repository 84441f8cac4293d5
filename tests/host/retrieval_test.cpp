// Taking messages: the script rewriting, the empty answers, and the result buffer's life.
#include "host/retrieval.h"
#include "host/spawn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/locks.h"
#include "host/reports.h"
#include "net/protocol.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

ConsoleServer& SpawnQuiet(std::uint32_t goid, int block) {
  test::WriteProfile(test::ProfileWithPort(test::PortBlock(block)));
  EXPECT_TRUE(SpawnConsoleServer(goid, "goblin"));
  return *FindServer(goid);
}

void Push(ConsoleServer& server, const std::string& text) {
  MutexHold hold(server.StateLock);
  PushPending(server, text.c_str());
}

TEST(RewriteScriptTest, ReplacesEveryTokenInItsOwnCaseOnly) {
  ConsoleServer& server = SpawnQuiet(42, test::kRetrievalRewrite);
  const struct {
    const char* typed;
    const char* rewritten;
  } cases[] = {
      {"[this].Kill()", "MakeGoid(42).Kill()"},
      {"[this].Attack([that](17))", "MakeGoid(42).Attack(MakeGoid(17))"},
      {"[this].[this].", "MakeGoid(42).MakeGoid(42)."},
      {"[This].x [THAT](1) [this] [that] [this[that](",
       "[This].x [THAT](1) [this] [that] [thisMakeGoid("},
      {"[[this].]", "[MakeGoid(42).]"},
      {"%s%n%x", "%s%n%x"},
      {"", ""},
  };
  char text[kTextBytes];
  for (const auto& c : cases) {
    std::strcpy(text, c.typed);
    RewriteScript(server, text);
    EXPECT_STREQ(text, c.rewritten) << c.typed;
  }
}

TEST(RewriteScriptTest, StopsBeforeOutgrowingTheBufferAndNeverCutsAToken) {
  // "MakeGoid(-1)." grows each by 6.
  ConsoleServer& server = SpawnQuiet(4294967295u, test::kRetrievalGrowth);
  std::string typed(65500, 'p');
  for (int i = 0; i < 5; ++i) typed += "[this].";  // 65,535 characters
  char text[kTextBytes];
  std::strcpy(text, typed.c_str());
  RewriteScript(server, text);
  const std::string result(text);
  EXPECT_LE(result.size(), 65535u);
  // 35 characters of tokens with 35 characters to spare: nothing fits, nothing is cut.
  EXPECT_EQ(result, typed);

  // Room for exactly three of nineteen replacements: the first three are made, in order.
  const std::size_t head = 65535 - 19 * 7 - 3 * 6;
  typed = std::string(head, 'p');
  for (int i = 0; i < 19; ++i) typed += "[this].";
  std::strcpy(text, typed.c_str());
  RewriteScript(server, text);
  std::string expected(head, 'p');
  for (int i = 0; i < 3; ++i) expected += "MakeGoid(-1).";
  for (int i = 3; i < 19; ++i) expected += "[this].";
  EXPECT_EQ(std::string(text), expected);
  EXPECT_EQ(expected.size(), 65535u);
}

TEST(TakeNextMessageTest, EmptyStackAndUnknownGoIDGiveTheSharedEmptyText) {
  ConsoleServer& server = SpawnQuiet(5, test::kRetrievalEmpty);
  Push(server, "[this].first\n");
  EXPECT_STREQ(TakeNextMessage(5), "MakeGoid(5).first\n");
  EXPECT_EQ(TakeNextMessage(5), kEmptyText);
  EXPECT_EQ(TakeNextMessage(6), kEmptyText);
  EXPECT_STREQ(server.ResultText, "MakeGoid(5).first\n");  // left as it was

  // The attachment probe writes the same buffer the host was handed.
  Push(server, "second\n");
  const char* taken = TakeNextMessage(5);
  EXPECT_EQ(DescribeAttachment(5), taken);
  EXPECT_STREQ(taken, "Dev console attached to object\n\nGoID: 5\nTemplateName: goblin");
}

}  // namespace
}  // namespace qc
