// The host reads BasePort where and as the library does, so the ports it announces are right.
#include "demo/base_port.h"

#include <gtest/gtest.h>

#include "loader/host_loader.h"
#include "support/test_support.h"

namespace qc::demo {
namespace {

TEST(ReadBasePortTest, ReadsTheProfileFileTheLibraryReads) {
  struct Case {
    const char* profile;
    int basePort;
  };
  const Case cases[] = {
      {"", 30000},  // no file
      {"[QCServer]\nBasePort=40000\n", 40000},
      {"[QCServer]\r\nTimeout=On\r\nBasePort=40010\r\n", 40010},
      {"[ qcserver ]\n baseport = 0x9C4A \n", 40010},
      {"[QCServer]\nBasePort=\n", 30000},
      {"[QCServer]\nBasePort=40020abc\n", 40020},
      {"[QCServer]\nBasePort=\"40030\"\n", 40030},
      {"[QCServer]\nBasePort=41000\nBasePort=42000\n", 41000},
      {"[QCServer]\n;BasePort=41000\n", 30000},
      {"[Other]\nBasePort=41000\n", 30000},
      {"[QCServer]\nBasePort=-25\n", -25},
  };
  for (const Case& c : cases) {
    test::WriteProfile(c.profile);
    EXPECT_EQ(ReadBasePort(loader::ConsoleProfilePath()), c.basePort) << c.profile;
    // The installed loader reads it on its own, for hosts that link nothing of the library.
    EXPECT_EQ(loader::ConsolePort(3), ConsolePort(c.basePort, 3)) << c.profile;
  }
}

TEST(ConsolePortTest, AddsTheSpawnIndexInSixteenBits) {
  EXPECT_EQ(ConsolePort(30000, 0), 30000);
  EXPECT_EQ(ConsolePort(30000, 2), 30002);
  EXPECT_EQ(ConsolePort(65535, 1), 0);
  EXPECT_EQ(ConsolePort(-25, 30), 5);
  EXPECT_EQ(ConsolePort(0x12345, 0), 0x2345);
}

}  // namespace
}  // namespace qc::demo
