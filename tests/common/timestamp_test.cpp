// The "HH:MM:SS" time stamp that starts every line sent to a developer.
#include "common/timestamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "support/test_support.h"
#include "support/models.h"

namespace {

TEST(WriteTimestampFieldsTest, WritesEightCharactersWithTwoDigitFields) {
  const struct {
    int hour, minute, second;
    const char* expected;
  } cases[] = {
      {0, 0, 0, "00:00:00"},     {9, 5, 7, "09:05:07"},
      {23, 59, 59, "23:59:59"},  {12, 30, 60, "12:30:60"},  // a leap second keeps its two digits
      {10, 1, 2, "10:01:02"},    {123, 104, 99, "23:04:99"},
      {-1, -5, -61, "00:00:00"},  // a field below zero prints as zero
  };
  for (const auto& c : cases) {
    char out[12];
    std::memset(out, '#', sizeof out);
    qc::WriteTimestampFields(out, c.hour, c.minute, c.second);
    EXPECT_EQ(std::string(out, qc::kTimestampChars), c.expected);
    EXPECT_EQ(std::string(out + qc::kTimestampChars, 4), "####") << "nothing after the stamp";
  }
}

std::string LocalStamp(std::time_t when) {
  const std::tm* local = std::localtime(&when);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local->tm_hour, local->tm_min, local->tm_sec);
  return text;
}

// A zone three and a half hours west of UTC, so that a stamp in UTC, or with the hour and
// minute fields mixed up, cannot match by chance. Where the platform ignores TZ the machine's
// own zone is used.
TEST(WriteTimestampTest, GivesTheLocalTimeOfDay) {
  (void)qc::test::os::UseTimeZone("QCT+03:30");
  bool compared = false;
  for (int attempt = 0; attempt < 5 && !compared; ++attempt) {
    char out[12];
    std::memset(out, '#', sizeof out);
    const std::time_t before = std::time(nullptr);
    qc::WriteTimestamp(out);
    const std::time_t after = std::time(nullptr);
    const std::string stamp(out, qc::kTimestampChars);
    ASSERT_EQ(std::string(out + qc::kTimestampChars, 4), "####");
    ASSERT_EQ(stamp.size(), 8u);
    ASSERT_TRUE(qc::test::IsStampedLine(stamp, "")) << stamp;
    // Compare only when the second did not change during the call.
    if (before == after) {
      EXPECT_EQ(stamp, LocalStamp(before));
      compared = true;
    }
  }
  EXPECT_TRUE(compared) << "the clock's second changed during every attempt";
}

}  // namespace
