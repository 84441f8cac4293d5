// Fixed-size text routines: truncation at the capacity, prefix tests, and the in-place token
// replacement that rewrites script lines.
#include "common/fixed_text.h"
#include "support/models.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char kGuard = '\x5A';
constexpr std::size_t kGuardBytes = 32;

// A buffer of capacity bytes followed by guard bytes that no routine may touch.
struct GuardedBuffer {
  explicit GuardedBuffer(std::size_t size) : capacity(size), bytes(size + kGuardBytes, kGuard) {}
  char* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (std::size_t i = capacity; i < bytes.size(); ++i) {
      if (bytes[i] != kGuard) return false;
    }
    return true;
  }
  std::size_t capacity;
  std::vector<char> bytes;
};

std::string ReplaceInBuffer(const std::string& text, std::size_t capacity, const char* token,
                            const char* replacement, bool* guardIntact) {
  GuardedBuffer buffer(capacity);
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  char* result = qc::ReplaceAll(buffer.data(), capacity, token, replacement);
  EXPECT_EQ(result, buffer.data());
  *guardIntact = buffer.GuardIntact();
  return std::string(buffer.data(), qc::BoundedLength(buffer.data(), capacity));
}

TEST(CopyTextTest, TruncatesToCapacityAndAlwaysTerminates) {
  struct Case {
    const char* source;
    std::size_t capacity;
    const char* expected;
    bool fits;
  };
  const Case cases[] = {
      {"", 1, "", true},     {"abc", 4, "abc", true},  {"abcd", 4, "abc", false},
      {"abc", 1, "", false}, {"abc", 64, "abc", true},
  };
  for (const Case& c : cases) {
    GuardedBuffer buffer(c.capacity);
    EXPECT_EQ(qc::CopyText(buffer.data(), c.capacity, c.source), c.fits) << c.source;
    EXPECT_STREQ(buffer.data(), c.expected);
    EXPECT_TRUE(buffer.GuardIntact()) << c.source;
  }
}

TEST(FormatTextTest, ReturnsWrittenLengthAndTruncatesWithinCapacity) {
  GuardedBuffer wide(32);
  EXPECT_EQ(qc::FormatText(wide.data(), 32, "MakeGoid(%d).", -1), 13u);
  EXPECT_STREQ(wide.data(), "MakeGoid(-1).");

  GuardedBuffer narrow(8);
  EXPECT_EQ(qc::FormatText(narrow.data(), 8, "MakeGoid(%d).", 42), 7u);
  EXPECT_STREQ(narrow.data(), "MakeGoi");
  EXPECT_TRUE(narrow.GuardIntact());
}

TEST(BoundedLengthTest, StopsAtNulOrCapacity) {
  const char noNul[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(qc::BoundedLength(noNul, sizeof noNul), 4u);
  EXPECT_EQ(qc::BoundedLength(noNul, 2), 2u);
  EXPECT_EQ(qc::BoundedLength("abc", 10), 3u);
  EXPECT_EQ(qc::BoundedLength("", 10), 0u);
}

TEST(StartsWithTest, MatchesWholePrefixByteForByte) {
  EXPECT_TRUE(qc::StartsWith("QC_OK: x", "QC_OK:"));
  EXPECT_TRUE(qc::StartsWith("QC_OK:", "QC_OK:"));
  EXPECT_TRUE(qc::StartsWith("anything", ""));
  EXPECT_FALSE(qc::StartsWith("QC_OK", "QC_OK:"));
  EXPECT_FALSE(qc::StartsWith("qc_ok: x", "QC_OK:"));
  EXPECT_FALSE(qc::StartsWith(" QC_OK: x", "QC_OK:"));
  EXPECT_FALSE(qc::StartsWith("", "Q"));
}

TEST(ReplaceAllTest, ReplacesEveryOccurrenceOfTheExactToken) {
  struct Case {
    const char* text;
    const char* token;
    const char* replacement;
    const char* expected;
  };
  const Case cases[] = {
      {"[this].Kill()", "[this].", "MakeGoid(42).", "MakeGoid(42).Kill()"},
      {"[this].[this].", "[this].", "MakeGoid(42).", "MakeGoid(42).MakeGoid(42)."},
      {"x[that](17)+[that](18)", "[that](", "MakeGoid(", "xMakeGoid(17)+MakeGoid(18)"},
      {"[This].a [THIS]. [this] [this)", "[this].", "MakeGoid(42).",
       "[This].a [THIS]. [this] [this)"},
      {"[That](1) [THAT]( [that] [that)", "[that](", "MakeGoid(",
       "[That](1) [THAT]( [that] [that)"},
      {"[[this]..", "[this].", "MakeGoid(-1).", "[MakeGoid(-1).."},
      {"no tokens", "[this].", "MakeGoid(42).", "no tokens"},
      {"", "[this].", "MakeGoid(42).", ""},
      {"[this].", "[this].", "", ""},
  };
  for (const Case& c : cases) {
    bool guardIntact = false;
    EXPECT_EQ(ReplaceInBuffer(c.text, qc::kTextBytes, c.token, c.replacement, &guardIntact),
              c.expected)
        << c.text;
    EXPECT_TRUE(guardIntact);
  }
}

// The single pass must give what replacing the leftmost occurrence over and over gives, on
// texts full of tokens, near-tokens and their fragments, with and without room to grow.
TEST(ReplaceAllTest, EqualsRepeatedLeftmostReplacement) {
  const char* const fragments[] = {
      "[this].", "[that](", "[this]", "[that]", "[This].", "[THAT](",       "[",
      "]",       ".",       "(",      "x",      "42",      "[this][this].", "[that[that](("};
  const struct {
    const char* token;
    const char* replacement;
  } pairs[] = {
      {"[this].", "MakeGoid(42)."}, {"[this].", "MakeGoid(-1)."}, {"[that](", "MakeGoid("}};
  std::mt19937 random(20240611u);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 24);
    for (int i = 0; i < pieces; ++i) text += fragments[random() % std::size(fragments)];
    // Half the rounds leave plenty of room; the others only a few characters, so the stop rule
    // is met at varying occurrences.
    const std::size_t capacity = round % 2 == 0 ? qc::kTextBytes : text.size() + 1 + random() % 24;
    for (const auto& pair : pairs) {
      bool guardIntact = false;
      const std::string actual =
          ReplaceInBuffer(text, capacity, pair.token, pair.replacement, &guardIntact);
      ASSERT_EQ(actual, qc::test::ReplaceLeftmostRepeatedly(text, pair.token, pair.replacement,
                                                            capacity - 1))
          << "text " << text << " capacity " << capacity << " token " << pair.token;
      ASSERT_TRUE(guardIntact) << text;
    }
  }
}

TEST(ReplaceAllTest, StopsAtTheFirstOccurrenceThatNoLongerFits) {
  const std::size_t limit = qc::kTextBytes - 1;
  struct Case {
    std::string text;
    const char* token;
    const char* replacement;
    std::string expected;
  };
  const std::string filler(65503, 'a');
  const Case cases[] = {
      // 65,530 characters, three tokens at the end growing 2 each: two fit (65,534), the third
      // would make 65,536 and stays, as does everything after it.
      {filler + "[that](1)[that](2)[that](3)", "[that](", "MakeGoid(",
       filler + "MakeGoid(1)MakeGoid(2)[that](3)"},
      // Growing to exactly 65,535 characters is allowed.
      {std::string(limit - 2 - 7, 'b') + "[that](", "[that](", "MakeGoid(",
       std::string(limit - 2 - 7, 'b') + "MakeGoid("},
      // The first token already does not fit: the text stays whole, no token is cut.
      {std::string(65522, 'c') + "[this].d", "[this].", "MakeGoid(-1).",
       std::string(65522, 'c') + "[this].d"},
      // A text of the full 65,535 characters has no room at all.
      {"[this]." + std::string(limit - 7, 'e'), "[this].", "MakeGoid(42).",
       "[this]." + std::string(limit - 7, 'e')},
  };
  for (const Case& c : cases) {
    ASSERT_LE(c.text.size(), limit);
    bool guardIntact = false;
    const std::string actual =
        ReplaceInBuffer(c.text, qc::kTextBytes, c.token, c.replacement, &guardIntact);
    EXPECT_LE(actual.size(), limit);
    EXPECT_EQ(actual.size(), c.expected.size());
    EXPECT_TRUE(actual == c.expected)
        << "differs at the end: " << actual.substr(actual.size() > 40 ? actual.size() - 40 : 0);
    EXPECT_TRUE(guardIntact);
  }
  EXPECT_EQ(cases[0].text.size(), 65530u);
}

}  // namespace
