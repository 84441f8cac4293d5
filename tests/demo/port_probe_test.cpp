// The port probe sees a port that another program listens on, as the library's bind would.
// (Windows lets a socket with address reuse bind such a port, the library's included, so the
// probe says "free" there, and rightly so; this test is for POSIX.)
#include "loader/port_probe.h"

#include <gtest/gtest.h>

#include "free_ports.h"
#include "support/ports.h"

namespace qc::loader {
namespace {

TEST(PortProbeTest, SeesAPortThatAnotherProgramListensOn) {
  const std::uint16_t port = test::FreePorts(test::kDemoPortProbe, 1);
  EXPECT_TRUE(CanListenOn(port));
  EXPECT_FALSE(ListeningOn(port));
  const int listening = test::os::ListenLoopback(port);
  ASSERT_GE(listening, 0);
  EXPECT_FALSE(CanListenOn(port));
  EXPECT_TRUE(ListeningOn(port));
  test::os::Close(listening);
  EXPECT_TRUE(CanListenOn(port));
  EXPECT_FALSE(ListeningOn(port));
}

}  // namespace
}  // namespace qc::loader
