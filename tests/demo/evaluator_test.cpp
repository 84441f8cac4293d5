// The demo host's script evaluator: what a developer's line gives, and what it changes.
#include "demo/evaluator.h"

#include <gtest/gtest.h>

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

TEST(EvaluateLineTest, NamesWhatItDidNotUnderstand) {
  struct Case {
    const char* line;
    const char* error;
  };
  const Case cases[] = {
      {"Fly()", "QC_ERROR: unknown function Fly(); Help() lists what this console understands"},
      {"describe()", "(did you mean Describe()?)"},
      {"MakeGoid(42).Fly()", "QC_ERROR: MakeGoid(42) (goblin) has no method Fly()"},
      {"MakeGoid(42).get(\"health\")", "(did you mean Get()?)"},
      {"MakeGoid(99).Describe()", "QC_ERROR: no game object has GoID 99"},
      {"MakeGoid(1.5)", "MakeGoid() wants a whole number (a GoID), not 1.5"},
      {"MakeGoid(\"42\")", "MakeGoid() wants a whole number (a GoID), not \"42\""},
      {"MakeGoid(4294967296)", "not 4294967296"},
      {"MakeGoid(42).Get(\"hp\")", "MakeGoid(42) (goblin) has no property \"hp\""},
      {"MakeGoid(42).Get(5)", "Get() wants a property name in quotes, such as \"health\", not 5"},
      {"MakeGoid(42).Get()", "Get() takes 1 argument, not 0: Get(\"key\")"},
      {"MakeGoid(42).Set(\"a\")", "Set() takes 2 arguments, not 1: Set(\"key\", value)"},
      {"MakeGoid(42).Set(\"a b\", 1)", "a property name is 1 to 64 letters, digits or '_'"},
      {"MakeGoid(42).Set(\"QC_OK:x\", 1)", "not \"QC_OK:x\""},
      {"MakeGoid(42).Add(\"mood\", 1)", "MakeGoid(42) (goblin)'s mood is \"grumpy\""},
      {"MakeGoid(42).Add(\"health\", \"x\")", "Add() adds a number, not \"x\""},
      {"12.Get(\"x\")", "12 is no game object, so it has no method Get()"},
      {"(MakeGoid(7)).Get(\"gold\").Get(\"x\")", "120 is no game object"},
      {"MakeGoid(42)..Get()", "at column 14: expected a method name after '.', found '.'"},
      {"MakeGoid(42).Describe(", "at column 23: expected a value or a call, found the end"},
      {"MakeGoid(42).Describe() MakeGoid(7)",
       "expected ';' or the end of the line, found MakeGoid"},
      {"MakeGoid(42).Set(\"a\" 1)", "expected ',' or ')' in the arguments of Set(), found 1"},
      {"MakeGoid(42).", "expected a method name after '.', found the end of the line"},
      {"Kill", "at column 5: expected '(' after Kill, found the end of the line"},
      {"\"open", "at column 1: the text \"\\\"open\" has no closing double quote"},
      {"\"a\\qb\"", "unknown escape \"\\\\q\""},
      {"MakeGoid(42) + 1", "at column 14: unexpected character \"+\""},
      {"a\tb\x01", "unexpected character \"\\x01\""},
      {"\xff\xf4[this].GoID()", "at column 1: unexpected character \"\\xff\""},
      {"Gr\xc3\xbc\xc3\x9f()", "at column 3: unexpected character \"\\xc3\""},
      {"[this]Kill()", "\"[this]Ki\" is no script: the console rewrites only \"[this].\""},
      {"report.info(42)", "a report call needs a quoted text, as in report.info(\"hello\")"},
      {"99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999999999999999999999999999999999999999",
       "is too large"},
  };
  for (const Case& c : cases) {
    World world = DemoWorld();
    const Lines answer = EvaluateLine(world, c.line);
    ASSERT_EQ(answer.size(), 1u) << c.line;
    EXPECT_EQ(answer[0].rfind("QC_ERROR: ", 0), 0u) << c.line;
    EXPECT_NE(answer[0].find(c.error), std::string::npos) << c.line << " gave " << answer[0];
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
  EXPECT_EQ(answer[1].rfind("QC_ERROR: MakeGoid(42) (goblin) has no method Fly()", 0), 0u);
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
  };
  for (const char* line : lines) {
    for (const std::string& answer : EvaluateLine(world, line)) {
      for (const char c : answer) {
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << line << ": " << answer;
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
  EXPECT_NE(ErrorOf(EvaluateLine(world, nested)).find("nested too deeply"), std::string::npos);

  std::string chain = "MakeGoid(42)";
  for (int i = 0; i < 5000; ++i) chain += ".Describe()";
  EXPECT_NE(ErrorOf(EvaluateLine(world, chain)).find("too many calls chained"), std::string::npos);

  std::string many;
  for (int i = 0; i < 17; ++i) many += "1;";
  EXPECT_NE(ErrorOf(EvaluateLine(world, many)).find("more than 16 statements"), std::string::npos);
  EXPECT_EQ(EvaluateLine(world, many.substr(0, 32)).size(), 16u);

  const std::string longText(World::kMaxTextChars + 1, 'x');
  EXPECT_NE(ErrorOf(EvaluateLine(world, "MakeGoid(42).Set(\"t\", \"" + longText + "\")"))
                .find("at most 1024 characters"),
            std::string::npos);
  EXPECT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(42).Set(\"t\", \"" + longText.substr(1) + "\")")),
            "");

  for (std::size_t i = world.FindObject(7)->properties.size(); i < World::kMaxProperties; ++i) {
    ASSERT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"p" + std::to_string(i) + "\", 1)")),
              "");
  }
  EXPECT_NE(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"one_more\", 1)"))
                .find("already has 64 properties"),
            std::string::npos);
  EXPECT_EQ(ErrorOf(EvaluateLine(world, "MakeGoid(7).Set(\"gold\", 5)")), "");  // replacing is fine

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
