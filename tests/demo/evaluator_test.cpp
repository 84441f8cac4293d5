// The demo host's script evaluator: what a developer's line gives, and what it changes.
#include "demo/evaluator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace qc::demo {
namespace {

using Lines = std::vector<std::string>;

World DemoWorld() {
  World world;
  world.AddObject(42, "goblin");
  world.AddObject(7, "chest");
  world.AddObject(4294967295u, "wisp");
  return world;
}

// The error line of an answer, or "" when the answer has none.
std::string ErrorOf(const Lines& answer) {
  for (const std::string& line : answer) {
    if (line.rfind("QC_ERROR: ", 0) == 0) return line;
  }
  return "";
}

// The column an error line names, or 0 when it names none (the line parsed).
std::size_t ColumnOf(const std::string& error) {
  const std::size_t at = error.find("at column ");
  return at == std::string::npos ? 0 : std::strtoul(error.c_str() + at + 10, nullptr, 10);
}

// What a line may change: every object's properties.
std::vector<std::map<std::string, Value>> PropertiesOf(const World& world) {
  std::vector<std::map<std::string, Value>> all;
  for (const GameObject& object : world.Objects()) all.push_back(object.properties);
  return all;
}

TEST(EvaluateLineTest, AnswersEachCallWithItsResult) {
  struct Case {
    const char* line;
    Lines answer;
  };
  const Case cases[] = {
      {"MakeGoid(42).Get(\"health\")", {"health = 30"}},
      {"MakeGoid(7).Get(\"locked\")", {"locked = true"}},
      {"MakeGoid(42).Has(\"health\")", {"true"}},
      {"MakeGoid(42).Has(\"gold\")", {"false"}},
      {"MakeGoid(42).Keys()", {"health, mood, strength"}},
      {"MakeGoid(-1).Keys()", {"(no properties)"}},
      {"MakeGoid(42).Template()", {"\"goblin\""}},
      {"MakeGoid(42).GoID()", {"42"}},
      {"MakeGoid(4294967295).GoID()", {"-1"}},  // GoIDs read as the console prints them
      {"MakeGoid(42)", {"MakeGoid(42)"}},
      {"  MakeGoid( 42 ) . Get ( 'mood' ) ; ", {"mood = \"grumpy\""}},
      {"12", {"12"}},
      {"-1.5", {"-1.5"}},
      {"\"a\\\"b\\\\c\\td\"", {"\"a\\\"b\\\\c\\td\""}},
      {"true; false", {"true", "false"}},
      {"MakeGoid(42).Set(\"target\", MakeGoid(7))", {"target = MakeGoid(7) (new)"}},
      {"MakeGoid(7).Set(\"gold\", MakeGoid(42).Get(\"strength\"))", {"gold = 4 (was 120)"}},
      {"MakeGoid(42).Add(\"health\", -5)", {"health = 25 (was 30)"}},
      {"MakeGoid(42).Remove(\"mood\")", {"removed mood (was \"grumpy\")"}},
      {"MakeGoid(42).Describe()",
       {"MakeGoid(42) (goblin), 3 properties", "  health = 30", "  mood = \"grumpy\"",
        "  strength = 4"}},
      {"List()",
       {"3 game objects:", "  MakeGoid(42) (goblin), 3 properties",
        "  MakeGoid(7) (chest), 2 properties", "  MakeGoid(-1) (wisp), 0 properties"}},
      {"", {}},
      {"   ", {}},
      {";;", {}},
  };
  for (const Case& c : cases) {
    World world = DemoWorld();
    EXPECT_EQ(EvaluateLine(world, c.line), c.answer) << c.line;
  }
}

TEST(EvaluateLineTest, ChangesLastAcrossLines) {
  World world = DemoWorld();
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Set(\"health\", 12)"), Lines{"health = 12 (was 30)"});
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Set(\"name\", \"Grub\")"),
            Lines{"name = \"Grub\" (new)"});
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Add(\"health\", 0.5); MakeGoid(42).Get(\"health\")"),
            (Lines{"health = 12.5 (was 12)", "health = 12.5"}));
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Get(\"name\")"), Lines{"name = \"Grub\""});
  EXPECT_EQ(world.FindObject(7)->properties.at("gold"), Value::Number(120));
}

TEST(EvaluateLineTest, AnswersALineItCannotRunWithOneErrorAndChangesNothing) {
  struct Case {
    const char* line;
    std::size_t column;  // where a line that does not parse goes wrong; 0 for one that parses
    const char* named;   // what the error names: the piece not understood, or the call meant
  };
  const Case cases[] = {
      {"Fly()", 0, "Fly()"},
      {"describe()", 0, "Describe()"},
      {"MakeGoid(42).Fly()", 0, "Fly()"},
      {"MakeGoid(42).get(\"health\")", 0, "Get()"},
      {"MakeGoid(99).Describe()", 0, "99"},
      {"MakeGoid(1.5)", 0, "1.5"},
      {"MakeGoid(\"42\")", 0, "\"42\""},
      {"MakeGoid(4294967296)", 0, "4294967296"},
      {"MakeGoid(42).Get(\"hp\")", 0, "\"hp\""},
      {"MakeGoid(42).Get()", 0, "Get(\"key\")"},
      {"MakeGoid(42).Set(\"a\")", 0, "Set(\"key\", value)"},
      {"MakeGoid(42).Set(5, 1)", 0, ""},
      {"MakeGoid(42).Set(\"a b\", 1)", 0, "\"a b\""},
      {"MakeGoid(42).Set(\"QC_OK:x\", 1)", 0, "\"QC_OK:x\""},
      {"MakeGoid(42).Add(\"mood\", 1)", 0, "\"grumpy\""},
      {"MakeGoid(42).Add(\"gold\", 1)", 0, "\"gold\""},
      {"MakeGoid(42).Add(\"health\", \"x\")", 0, "\"x\""},
      {"12.Get(\"x\")", 0, "12"},
      {"(MakeGoid(7)).Get(\"gold\").Get(\"x\")", 0, "120"},
      {"MakeGoid(42)..Get()", 14, ""},
      {"MakeGoid(42).Describe(", 23, ""},
      {"MakeGoid(42).Describe() MakeGoid(7)", 25, ""},
      {"MakeGoid(42).Set(\"a\" 1)", 22, ""},
      {"MakeGoid(42).", 14, ""},
      {"Kill", 5, ""},
      {"\"open", 1, ""},
      {"\"a\\qb\"", 3, ""},
      {"MakeGoid(42) + 1", 14, "+"},
      {"a\tb\x01", 4, "\\x01"},
      {"\xff\xf4[this].GoID()", 1, "\\xff"},
      {"Gr\xc3\xbc\xc3\x9f()", 3, "\\xc3"},  // a stray byte is named by its value
      {"[this]Kill()", 1, "[this]"},
      {"report.info(42)", 1, "report.info(\""},
      {"99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999",
       1, ""},
  };
  for (const Case& c : cases) {
    World world = DemoWorld();
    const Lines answer = EvaluateLine(world, c.line);
    ASSERT_EQ(answer.size(), 1u) << c.line;
    EXPECT_EQ(answer[0].rfind("QC_ERROR: ", 0), 0u) << c.line << " gave " << answer[0];
    EXPECT_EQ(ColumnOf(answer[0]), c.column) << c.line << " gave " << answer[0];
    EXPECT_NE(answer[0].find(c.named), std::string::npos) << c.line << " gave " << answer[0];
    EXPECT_EQ(PropertiesOf(world), PropertiesOf(DemoWorld())) << c.line;
  }
}

TEST(EvaluateLineTest, ChangesNothingWhenTheLineDoesNotParse) {
  World world = DemoWorld();
  const Lines answer = EvaluateLine(world, "MakeGoid(42).Set(\"health\", 1); MakeGoid(42).Set(");
  EXPECT_EQ(answer.size(), 1u);
  EXPECT_NE(ErrorOf(answer), "");
  EXPECT_EQ(world.FindObject(42)->properties.at("health"), Value::Number(30));
}

TEST(EvaluateLineTest, StopsAtTheFirstFailingStatementAndKeepsEarlierAnswers) {
  World world = DemoWorld();
  const Lines answer = EvaluateLine(
      world,
      "MakeGoid(42).Set(\"health\", 1); MakeGoid(42).Fly(); MakeGoid(42).Set(\"health\", 2)");
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0], "health = 1 (was 30)");
  EXPECT_EQ(answer[1].rfind("QC_ERROR: ", 0), 0u);
  EXPECT_NE(answer[1].find("Fly()"), std::string::npos) << answer[1];
  EXPECT_EQ(world.FindObject(42)->properties.at("health"), Value::Number(1));
}

TEST(EvaluateLineTest, KeepsAnswersFreeOfControlCharactersAndNoticePrefixes) {
  World world = DemoWorld();
  const char* const lines[] = {
      "MakeGoid(42).Set(\"note\", \"QC_OK: two\\r\\nlines\\x\")",
      "MakeGoid(42).Set(\"note\", \"QC_OK: two\\r\\nlines\")",
      "MakeGoid(42).Get(\"note\")",
      "MakeGoid(42).Describe()",
      "\"QC_ERROR: fake\"",
      "Help()",
      "MakeGoid(42).Fly(\"\x1b[2J\")",
      "\xff\xf4[this].GoID()",
  };
  for (const char* line : lines) {
    for (const std::string& answer : EvaluateLine(world, line)) {
      for (const char c : answer) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_FALSE(byte < 0x20 || byte == 0x7f || byte == 0xff) << line << ": " << answer;
      }
      const bool isError = answer.rfind("QC_ERROR: ", 0) == 0;
      EXPECT_TRUE(isError || answer.rfind("QC_", 0) != 0) << line << ": " << answer;
    }
  }
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Get(\"note\")"),
            Lines{"note = \"QC_OK: two\\r\\nlines\""});
  // UTF-8 text stays readable; the byte 0xFF, a telnet command byte, is escaped.
  EXPECT_EQ(EvaluateLine(world, "MakeGoid(42).Set(\"name\", \"Gr\xc3\xbc\xc3\x9f \xff\")"),
            Lines{"name = \"Gr\xc3\xbc\xc3\x9f \\xff\" (new)"});
}

TEST(EvaluateLineTest, BoundsWhatOneLineCanDo) {
  World world = DemoWorld();
  // Deep nesting is refused instead of exhausting the stack.
  std::string nested;
  for (int i = 0; i < 5000; ++i) nested += "(";
  nested += "1";
  for (int i = 0; i < 5000; ++i) nested += ")";
  EXPECT_EQ(ColumnOf(ErrorOf(EvaluateLine(world, nested))), 18u);

  std::string chain = "MakeGoid(42)";
  for (int i = 0; i < 5000; ++i) chain += ".Describe()";
  EXPECT_EQ(ColumnOf(ErrorOf(EvaluateLine(world, chain))), 12u + 16 * 11 + 2);  // the 17th call

  std::string many;
  for (int i = 0; i < 17; ++i) many += "1;";
  EXPECT_EQ(ColumnOf(ErrorOf(EvaluateLine(world, many))), 33u);  // the 17th statement
  EXPECT_EQ(EvaluateLine(world, many.substr(0, 32)).size(), 16u);

  const std::string longText(World::kMaxTextChars + 1, 'x');
  EXPECT_NE(ErrorOf(EvaluateLine(world, "MakeGoid(42).Set(\"t\", \"" + longText + "\")")), "");
  EXPECT_EQ(world.FindObject(42)->properties.count("t"), 0u);
  EXPECT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(42).Set(\"t\", \"" + longText.substr(1) + "\")")),
            "");
  EXPECT_EQ(world.FindObject(42)->properties.at("t"), Value::Text(longText.substr(1)));

  for (std::size_t i = world.FindObject(7)->properties.size(); i < World::kMaxProperties; ++i) {
    ASSERT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"p" + std::to_string(i) + "\", 1)")),
              "");
  }
  EXPECT_NE(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"one_more\", 1)")), "");
  EXPECT_EQ(world.FindObject(7)->properties.size(), World::kMaxProperties);
  EXPECT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"gold\", 5)")), "");  // replacing is fine
  EXPECT_EQ(world.FindObject(7)->properties.at("gold"), Value::Number(5));

  // The developer's text quoted in an error is cut short.
  const std::string junk = "\"" + std::string(500, 'y');
  EXPECT_LT(ErrorOf(EvaluateLine(world, junk)).size(), 200u);
}

TEST(EvaluateLineTest, HelpNamesEveryCall) {
  World world = DemoWorld();
  std::string help;
  for (const std::string& line : EvaluateLine(world, "Help()")) help += line + "\n";
  for (const char* name :
       {"MakeGoid(N)", "List()", "Describe()", "Get(\"key\")", "Set(\"key\", value)",
        "Add(\"key\", number)", "Has(\"key\")", "Remove(\"key\")", "Keys()", "Template()", "GoID()",
        "[who]", "[spawns]", "[quit]", "report.info(\"text\")"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace qc::demo
