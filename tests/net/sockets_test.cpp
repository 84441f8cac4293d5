// The socket layer: peer addresses, listening, and what a broken peer does to a send.
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

TEST(GetPeerAddressTextTest, PrintsEveryOctetUnsignedAndFallsBackToZeros) {
  const std::uint16_t port = test::PortBlock(test::kPeerAddress);
  const int listening = test::os::ListenLoopback(port);
  ASSERT_GE(listening, 0);
  for (const char* from : {"127.0.0.1", "127.200.1.255"}) {
    const int client = test::os::ConnectLoopback(port, from);
    ASSERT_GE(client, 0);
    const int accepted = test::os::AcceptOne(listening);
    char text[kAddressTextBytes];
    GetPeerAddressText(accepted, text);
    EXPECT_STREQ(text, from);
    test::CloseSocket(accepted);
    test::CloseSocket(client);
  }
  test::CloseSocket(listening);
  char text[kAddressTextBytes] = "garbage";
  GetPeerAddressText(-1, text);
  EXPECT_STREQ(text, "0.0.0.0");
}

TEST(CreateListenSocketTest, ListensOnEveryLocalAddressOrReportsTheFailingStepOnce) {
  const std::uint16_t port = test::PortBlock(test::kListenSocket);
  test::StderrCapture errors;
  const Socket listening = CreateListenSocket(port);
  ASSERT_GE(listening, 0);
  EXPECT_EQ(test::os::ReusesAddress(listening), test::os::kListenSocketsReuseAddress);
  EXPECT_EQ(test::os::ExcludesOtherBinds(listening), test::os::kListenSocketsExcludeOtherBinds);
  // No child process of the host inherits the console's sockets.
  EXPECT_FALSE(test::os::ChildrenInherit(listening));
  for (const char* from : {"127.0.0.1", "127.0.0.9"}) {
    test::LoopbackClient client;
    EXPECT_TRUE(client.Connect(port, 2000, from));
    const Socket accepted = AcceptClient(listening);
    EXPECT_GE(accepted, 0);
    EXPECT_FALSE(test::os::ChildrenInherit(accepted));
    (void)CloseClient(accepted);
  }
  // A port that another program holds (exclusively, where the platform lets address reuse
  // share a port) cannot be bound.
  const std::uint16_t held = static_cast<std::uint16_t>(port + 1);
  const int holder = test::os::ListenLoopback(held);
  ASSERT_GE(holder, 0);
  EXPECT_EQ(CreateListenSocket(held), -1);
  EXPECT_EQ(errors.Text(), "QC_ERROR: bind() failed\n");
  test::CloseSocket(holder);
}

TEST(ParseAddressTextTest, TakesExactlyFourDecimalFieldsFrom0To255) {
  std::uint32_t address = 7;
  EXPECT_TRUE(ParseAddressText("255.200.0.10", address));
  EXPECT_EQ(address, 0xffc8000au);
  for (const char* unusable :
       {"", "localhost", "127.1", "1.2.3.4.5", "1.2.3.256", "1.2.3.", "0x7f.0.0.1", "010.0.0.1",
        "+1.2.3.4", "1.2.3.4 ", "1..3.4", "1234.0.0.1"}) {
    EXPECT_FALSE(ParseAddressText(unusable, address)) << unusable;
  }
  EXPECT_EQ(address, 0xffc8000au);
}

}  // namespace
}  // namespace qc
