// The demo host's command line.
#include "demo/host_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qc::demo {
namespace {

using Args = std::vector<std::string>;

TEST(ParseHostOptionsTest, ReadsObjectsAndOptions) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(
      ParseHostOptions({"42", "goblin", "--library", "lib/x.so", "7", "chest"}, options, error))
      << error;
  ASSERT_EQ(options.objects.size(), 2u);
  EXPECT_EQ(options.objects[0].goid, 42u);
  EXPECT_EQ(options.objects[0].templateName, "goblin");
  EXPECT_EQ(options.objects[1].goid, 7u);
  EXPECT_EQ(options.objects[1].templateName, "chest");
  EXPECT_EQ(options.libraryPath, "lib/x.so");
  EXPECT_FALSE(options.showHelp);

  ASSERT_TRUE(ParseHostOptions({"--library=y.dll", "4294967295", "big one"}, options, error));
  EXPECT_EQ(options.libraryPath, "y.dll");
  EXPECT_EQ(options.objects[0].goid, 4294967295u);
  EXPECT_EQ(options.objects[0].templateName, "big one");

  ASSERT_TRUE(ParseHostOptions({"-h"}, options, error));
  EXPECT_TRUE(options.showHelp);
  ASSERT_TRUE(ParseHostOptions({"--help"}, options, error));
  EXPECT_TRUE(options.showHelp);
}

TEST(ParseHostOptionsTest, FallsBackToThreeDemoObjects) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(ParseHostOptions({}, options, error));
  ASSERT_EQ(options.objects.size(), 3u);
  EXPECT_EQ(options.objects[0].goid, 42u);
  EXPECT_EQ(options.objects[0].templateName, "goblin");
  EXPECT_TRUE(options.libraryPath.empty());
}

TEST(ParseHostOptionsTest, RefusesWhatCannotBeSpawnedWithAMessage) {
  struct Case {
    Args args;
    const char* error;
  };
  Args tooMany;
  for (int i = 0; i <= 100; ++i) {
    tooMany.push_back(std::to_string(i));
    tooMany.push_back("thing");
  }
  const Case cases[] = {
      {{"42"}, "GoID 42 has no template name"},
      {{"goblin", "42"}, "\"goblin\" is no GoID"},
      {{"4294967296", "x"}, "\"4294967296\" is no GoID"},
      {{"12345678901", "x"}, "is no GoID"},
      {{"-1", "x"}, "unknown option -1"},
      {{"+1", "x"}, "\"+1\" is no GoID"},
      {{"42", ""}, "a template name must not be empty"},
      {{"42", std::string(1024, 'n')}, "longer than 1023 characters"},
      {{"42", "gob\nlin"}, "holds a control character"},
      {{"42", "goblin", "42", "chest"}, "GoID 42 is given twice"},
      {{"--library"}, "--library needs a path"},
      {{"--library="}, "--library needs a path"},
      {{"--port", "1"}, "unknown option --port"},
      {tooMany, "at most 100 objects"},
  };
  for (const Case& c : cases) {
    HostOptions options;
    std::string error;
    EXPECT_FALSE(ParseHostOptions(c.args, options, error)) << c.error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  // The longest name the library keeps whole is accepted.
  HostOptions options;
  std::string error;
  EXPECT_TRUE(ParseHostOptions({"42", std::string(1023, 'n')}, options, error)) << error;
}

}  // namespace
}  // namespace qc::demo
