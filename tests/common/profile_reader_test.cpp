// The profile reader must read "quillaret_console.ini" the way the Windows private-profile
// functions do, so one file configures both builds alike.
#include "platform/profile_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

const char kProfile[] =
    "; settings of the development console\n"
    "Orphan=before any section\n"
    "[Other]\n"
    "BasePort=1111\n"
    "Only=other\n"
    "[ QCServer ]\n"
    " BasePort = 2000 \n"
    "baseport=3000\n"
    "Lead=   abc\n"
    "Trail=abc   \n"
    "Quoted=\"  padded  \"\n"
    "SQuoted='Off'\n"
    "Mismatched=\"abc'\n"
    "Empty=\n"
    "Neg=-25\n"
    "Plus=+12\n"
    "Hex=0x20\n"
    "Mixed=12abc\n"
    "TimeoutVal=1500ms\n"
    "x=abc\n"
    "Comment=abc ; trailing\n"
    ";Commented=1\n"
    "  ; Indented=2\n"
    "NoEquals\n"
    "Equals=a=b\n"
    "[Third]\n"
    "Third=3";  // no line end after the last line

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct Lookup {
  const char* section;
  const char* key;
  bool found;
  const char* value;
  int asInt;  // ParseProfileInt(value, 77)
};

const Lookup kLookups[] = {
    {"QCServer", "BasePort", true, "2000", 2000},  // trimmed name; the first duplicate wins
    {"qcserver", "BASEPORT", true, "2000", 2000},  // names match in any case
    {"Other", "BasePort", true, "1111", 1111},
    {"QCServer", "Only", false, "", 0},
    {"QCServer", "Orphan", false, "", 0},
    {"QCServer", "Lead", true, "abc", 0},
    {"QCServer", "Trail", true, "abc", 0},
    {"QCServer", "Quoted", true, "  padded  ", 0},
    {"QCServer", "SQuoted", true, "Off", 0},
    {"QCServer", "Mismatched", true, "\"abc'", 0},
    {"QCServer", "Empty", true, "", 77},
    {"QCServer", "Neg", true, "-25", -25},
    {"QCServer", "Plus", true, "+12", 12},
    {"QCServer", "Hex", true, "0x20", 32},
    {"QCServer", "Mixed", true, "12abc", 12},
    {"QCServer", "TimeoutVal", true, "1500ms", 1500},
    {"QCServer", "x", true, "abc", 0},
    {"QCServer", "Comment", true, "abc ; trailing", 0},
    {"QCServer", "Commented", false, "", 0},
    {"QCServer", ";Commented", false, "", 0},
    {"QCServer", "Indented", false, "", 0},
    {"QCServer", "NoEquals", false, "", 0},
    {"QCServer", "Equals", true, "a=b", 0},
    {"QCServer", "Third", false, "", 0},
    {"Third", "Third", true, "3", 3},
    {"Missing", "BasePort", false, "", 0},
    {"QCServer", "Absent", false, "", 0},
};

TEST(FindProfileValueTest, FollowsThePrivateProfileFormatWithLfAndCrLf) {
  for (const std::string& text : {std::string(kProfile), WithCrLf(kProfile)}) {
    const bool crlf = text.find('\r') != std::string::npos;
    for (const Lookup& l : kLookups) {
      char out[64];
      std::memcpy(out, "untouched", 10);
      const bool found =
          qc::FindProfileValue(text.data(), text.size(), l.section, l.key, out, sizeof out);
      SCOPED_TRACE(std::string(l.section) + "/" + l.key + (crlf ? " (CR LF)" : " (LF)"));
      ASSERT_EQ(found, l.found);
      if (!found) {
        EXPECT_STREQ(out, "untouched");
        continue;
      }
      EXPECT_STREQ(out, l.value);
      EXPECT_EQ(qc::ParseProfileInt(out, 77), l.asInt);
    }
  }
}

TEST(FindProfileValueTest, ReadsOnlyLengthBytesAndTruncatesToCapacity) {
  const std::string text = "[QCServer]\nBasePort=123456\nSpawnConfirm=Off\n";
  char out[64];
  // The text ends, as far as the reader may see, inside the value.
  ASSERT_TRUE(qc::FindProfileValue(text.data(), text.find("3456"), "QCServer", "BasePort", out,
                                   sizeof out));
  EXPECT_STREQ(out, "12");
  EXPECT_FALSE(qc::FindProfileValue(text.data(), text.find("Spawn") + 5, "QCServer", "SpawnConfirm",
                                    out, sizeof out));

  char small[8] = {'x', 'x', 'x', 'x', 'g', 'g', 'g', 'g'};
  ASSERT_TRUE(qc::FindProfileValue(text.data(), text.size(), "QCServer", "BasePort", small, 4));
  EXPECT_STREQ(small, "123");
  EXPECT_EQ(std::string(small + 4, 4), "gggg");
}

TEST(ParseProfileIntTest, ReadsSignHexAndLeadingDigits) {
  const struct {
    const char* value;
    int expected;
  } cases[] = {
      {"30000", 30000},   {"-25", -25},  {"+12", 12},      {"0x20", 32}, {"0X1f", 31},
      {"0xFF", 255},      {"12abc", 12}, {"1500ms", 1500}, {"abc", 0},   {"-", 0},
      {"0x", 0},          {"  7", 7},    {"", 77},         {"   ", 77},  {"0", 0},
      {"4294967295", -1},  // digits beyond 32 bits wrap as a 32-bit accumulator would
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qc::ParseProfileInt(c.value, 77), c.expected) << '"' << c.value << '"';
  }
}

// The platform's profile functions read the file from the working directory at every call.
TEST(ReadProfileTest, ReadsTheFileAnewAndFallsBackToDefaults) {
  qc::test::WriteProfile("");
  char value[32];
  EXPECT_EQ(qc::platform::ReadProfileInt("QCServer", "BasePort", 30000, "quillaret_console.ini"),
            30000);
  EXPECT_EQ(qc::platform::ReadProfileString("QCServer", "Timeout", "Off", value, sizeof value,
                                            "quillaret_console.ini"),
            3);
  EXPECT_STREQ(value, "Off");

  qc::test::WriteProfile("[qcserver]\r\nBasePort=0x7530\r\nTimeoutVal=\r\nTimeout = On \r\n");
  EXPECT_EQ(qc::platform::ReadProfileInt("QCServer", "BasePort", 1, "quillaret_console.ini"),
            30000);
  EXPECT_EQ(qc::platform::ReadProfileInt("QCServer", "TimeoutVal", 60000, "quillaret_console.ini"),
            60000);
  EXPECT_EQ(qc::platform::ReadProfileString("QCServer", "Timeout", "Off", value, sizeof value,
                                            "quillaret_console.ini"),
            2);
  EXPECT_STREQ(value, "On");

  qc::test::WriteProfile("[QCServer]\nBasePort=-25\n");
  EXPECT_EQ(qc::platform::ReadProfileInt("QCServer", "BasePort", 1, "quillaret_console.ini"), -25);
}

}  // namespace
