// The host-side loader: binds the built library, names what is missing when it cannot, and
// hands over a console's texts oldest first.
// The loader's definitions, compiled once for the test program.
#define QUILLARET_CONSOLE_LOADER_IMPLEMENTATION
#include "loader/host_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qc::loader {
namespace {

TEST(LoadConsoleLibraryTest, BindsAllSevenEntryPointsOfTheBuiltLibrary) {
  ConsoleApi api{};
  std::string error;
  ASSERT_TRUE(LoadConsoleLibrary(QC_LIBRARY_PATH, api, error)) << error;
  EXPECT_TRUE(api.SpawnServer && api.BroadcastMsg && api.CheckSysMsg && api.GetNextMessage &&
              api.CheckReportMsg && api.TestDLL && api.GetFlagConfirm);
  // Bound to the right functions, not merely to something.
  EXPECT_TRUE(api.CheckSysMsg("QC_OK:"));
  EXPECT_FALSE(api.CheckSysMsg("QC_MSG: x"));
  EXPECT_STREQ(api.GetNextMessage(12345), "");
  EXPECT_STREQ(api.TestDLL(12345), "");
  char report[64] = "report.info(\"hello\")";
  EXPECT_STREQ(api.CheckReportMsg(report), "\"QC_REPORT: hello\")");
  // A null text from the host is answered as an empty one, never read.
  EXPECT_FALSE(api.CheckSysMsg(nullptr));
  EXPECT_STREQ(api.CheckReportMsg(nullptr), "");
  api.BroadcastMsg(12345, nullptr);
}

TEST(LoadConsoleLibraryTest, NamesALibraryThatCannotBeLoaded) {
  ConsoleApi api{};
  std::string error;
  const std::string path = std::string(QC_LIBRARY_PATH) + ".missing";
  EXPECT_FALSE(LoadConsoleLibrary(path, api, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
}

TEST(LoadConsoleLibraryTest, EmptyPathTriesBesideTheProgramThenTheSystemsSearch) {
  ConsoleApi api{};
  std::string error;
  const bool loaded = LoadConsoleLibrary("", api, error);
#if defined(_WIN32)
  // The build puts the DLL beside the test programs.
  ASSERT_TRUE(loaded) << error;
  EXPECT_TRUE(api.CheckSysMsg("QC_OK:"));
#else
  // The shared object lies elsewhere in the build tree, where neither place finds it.
  EXPECT_FALSE(loaded);
  EXPECT_NE(error.find(ProgramDirectory() + DefaultLibraryName() + ": "), std::string::npos)
      << error;
  EXPECT_NE(error.find("nor libquillaret_console.so by the system's search: "), std::string::npos)
      << error;
#endif
}

TEST(DrainConsoleTest, StopsAtItsLimitWhenTextsNeverStopComing) {
  ConsoleApi api{};
  api.GetNextMessage = [](unsigned) { return "line\n"; };
  std::size_t handed = 0;
  EXPECT_EQ(DrainConsole(api, 42, [&](const std::string&) { ++handed; }), kMaxDrainTexts);
  EXPECT_EQ(handed, kMaxDrainTexts);
}

#if defined(QC_FAKE_PARTIAL_PATH)
TEST(LoadConsoleLibraryTest, NamesTheEntryPointThatIsNotExported) {
  ConsoleApi api{};
  std::string error;
  EXPECT_FALSE(LoadConsoleLibrary(QC_FAKE_PARTIAL_PATH, api, error));
  EXPECT_NE(error.find(ExportedNames()[5]), std::string::npos) << error;  // TestDLL
  EXPECT_NE(error.find(QC_FAKE_PARTIAL_PATH), std::string::npos) << error;
}

// The partial library exports the entry points before TestDLL; none of them may reach api, and
// a good binding must stay as it was.
TEST(LoadConsoleLibraryTest, AFailedBindLeavesTheCallersApiAsItWas) {
  ConsoleApi api{};
  const ConsoleApi empty{};
  std::string error;
  EXPECT_FALSE(LoadConsoleLibrary(QC_FAKE_PARTIAL_PATH, api, error));
  EXPECT_EQ(std::memcmp(&api, &empty, sizeof api), 0);

  ASSERT_TRUE(LoadConsoleLibrary(QC_LIBRARY_PATH, api, error)) << error;
  const ConsoleApi good = api;
  EXPECT_FALSE(LoadConsoleLibrary(QC_FAKE_PARTIAL_PATH, api, error));
  EXPECT_EQ(std::memcmp(&api, &good, sizeof api), 0);
  EXPECT_TRUE(api.CheckSysMsg("QC_OK:"));
}
#endif

}  // namespace
}  // namespace qc::loader
