// Report calls rewritten into report texts, and the two probes a host makes of a console.
#include "host/reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/broadcast.h"
#include "host/spawn.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace {

constexpr char kFill = '\x7E';

// The caller's buffer: the text, then fill bytes to the end, so a write anywhere shows.
std::vector<char> CallerBuffer(const std::string& text, std::size_t extra = 32) {
  std::vector<char> buffer(text.size() + 1 + extra, kFill);
  std::copy(text.begin(), text.end(), buffer.begin());
  buffer[text.size()] = '\0';
  return buffer;
}

TEST(RewriteReportCallTest, RewritesReportCallsInTheCallersBuffer) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"report.info(\"hello\")", "\"QC_REPORT: hello\")"},
      {"REPORT.Info(\"Hello World\")", "\"QC_REPORT: Hello World\")"},  // capitals kept
      {"RePort.warn(\"x\")", "\"QC_REPORT: x\")"},
      {"report.log(\"x\")", "\"QC_REPORT: x\")"},               // 15 characters: enough
      {"report.\"(a)bcde", "\"QC_REPORT: (a)bcde"},             // 4 characters longer
      {"report.info(1)\"", "\"QC_REPORT: "},                    // the quote is the last one
      {"report.info(\"%s%n\", 1)", "\"QC_REPORT: %s%n\", 1)"},  // directives stay text
      {"report.a(b)c\"d\"e", "\"QC_REPORT: d\"e"},              // everything before the quote goes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<char> buffer = CallerBuffer(c.text);
    const char* result = qc::RewriteReportCall(buffer.data());
    ASSERT_EQ(result, buffer.data());
    EXPECT_STREQ(result, c.expected);
    const std::size_t end = std::strlen(c.expected) + 1;
    for (std::size_t i = std::max(end, std::strlen(c.text) + 1); i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], kFill) << "written past the result at " << i;
    }
    // A report text is no system notice; the quoted text inside it is.
    EXPECT_FALSE(qc::IsSystemNotice(result));
    EXPECT_TRUE(qc::IsSystemNotice(result + 1));
  }
}

TEST(RewriteReportCallTest, LeavesOtherTextsUntouched) {
  const std::string overLong = "report.info(\"" + std::string(65536 - 15, 'z') + "\")";
  const char* const texts[] = {
      "",
      "report.log(\"\")",         // 14 characters: shorter than report.xxxx(xx)
      "report.info(12)",          // 15 characters, no quote
      "report.x)y(\"abc\")",      // the first ")" before the first "("
      " report.info(\"hello\")",  // leading space
      "reportinfo(\"hello\")",    // no dot
      "report info(\"hello\")",
      "reporter.info(\"hello\")",
      "report.info \"hello\"",  // no parentheses
      "report.info(\"hello\"",  // no ")"
      "report.info\"hello\")",  // no "("
      "QC_REPORT: report.info(\"hello\")",
      overLong.c_str(),  // 65,536 characters: refused
  };
  for (const char* text : texts) {
    SCOPED_TRACE(std::string(text).substr(0, 40));
    const std::vector<char> before = CallerBuffer(text, 16);
    std::vector<char> buffer = before;
    EXPECT_EQ(qc::RewriteReportCall(buffer.data()), qc::kEmptyText);
    EXPECT_TRUE(buffer == before) << "buffer changed";
  }
  EXPECT_EQ(overLong.size(), 65536u);
  EXPECT_STREQ(qc::kEmptyText, "");
}

TEST(RewriteReportCallTest, AcceptsTheLongestTextAndStaysWithinItsRoom) {
  // 65,535 characters with the quote right after the prefix: the result is 65,539 characters,
  // which the caller's buffer has room for; nothing goes further.
  const std::string text = "report.\"(" + std::string(65535 - 10, 'q') + ")";
  ASSERT_EQ(text.size(), 65535u);
  std::vector<char> buffer = CallerBuffer(text, 4 + 16);
  ASSERT_EQ(qc::RewriteReportCall(buffer.data()), buffer.data());
  const std::string expected = "\"QC_REPORT: (" + std::string(65535 - 10, 'q') + ")";
  EXPECT_EQ(std::strlen(buffer.data()), 65539u);
  EXPECT_TRUE(std::string(buffer.data()) == expected);
  for (std::size_t i = 65540; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], kFill) << i;
}

// Spawns a server configured from a profile with this BasePort and more lines.
bool Spawn(std::uint16_t basePort, const std::string& moreProfile, std::uint32_t goid,
           const char* name) {
  qc::test::WriteProfile(qc::test::ProfileWithPort(basePort, moreProfile));
  return qc::SpawnConsoleServer(goid, name);
}

TEST(DescribeAttachmentTest, NamesTheObjectInItsServersResultText) {
  ASSERT_TRUE(Spawn(qc::test::PortBlock(qc::test::kReportsAttachment), "", 42, "goblin"));
  ASSERT_TRUE(Spawn(qc::test::PortBlock(qc::test::kReportsAttachment), "", 4294967295u, "100%s%n"));
  qc::ConsoleServer* goblin = qc::FindServer(42);
  qc::ConsoleServer* last = qc::FindServer(4294967295u);
  ASSERT_NE(goblin, nullptr);
  ASSERT_NE(last, nullptr);

  const char* text = qc::DescribeAttachment(42);
  EXPECT_EQ(text, goblin->ResultText);
  EXPECT_STREQ(text, "Dev console attached to object\n\nGoID: 42\nTemplateName: goblin");

  EXPECT_EQ(qc::DescribeAttachment(4294967295u), last->ResultText);
  EXPECT_STREQ(last->ResultText,
               "Dev console attached to object\n\nGoID: -1\nTemplateName: 100%s%n");
  // The other server's text is its own.
  EXPECT_STREQ(goblin->ResultText,
               "Dev console attached to object\n\nGoID: 42\nTemplateName: goblin");
}

TEST(DescribeAttachmentTest, UnknownGoIdTouchesNoServerAndConfirmsNothing) {
  ASSERT_TRUE(Spawn(qc::test::PortBlock(qc::test::kReportsUnknownGoid), "", 7, "imp"));
  qc::ConsoleServer* imp = qc::FindServer(7);
  ASSERT_NE(imp, nullptr);
  qc::CopyText(imp->ResultText, sizeof imp->ResultText, "the host's last message");

  for (std::uint32_t unknown : {0u, 8u, 4294967294u}) {
    EXPECT_EQ(qc::DescribeAttachment(unknown), qc::kEmptyText) << unknown;
    EXPECT_FALSE(qc::SpawnConfirmFlag(unknown)) << unknown;
  }
  EXPECT_STREQ(imp->ResultText, "the host's last message");
  EXPECT_STREQ(qc::kEmptyText, "");
}

}  // namespace
