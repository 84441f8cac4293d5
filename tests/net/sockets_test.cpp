// The socket layer: whole sends over partial ones, broken peers, peer addresses, listening.
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

// A send operation that takes at most a few bytes per call, recording what it was given, and a
// wait for writability that reports the time as run out.
struct FakeSend {
  static std::string taken;
  static int calls;
  static int failAfter;  // calls that succeed before one fails (-1: never fails)
  static int takeAtMost;
  static int Send(Socket, const char* data, int length) {
    ++calls;
    if (failAfter >= 0 && calls > failAfter) return takeAtMost == 0 ? 0 : -1;
    const int n = length < takeAtMost ? length : takeAtMost;
    taken.append(data, static_cast<std::size_t>(n));
    return n;
  }
  static int waits;
  static int Wait(Socket, int) {
    ++waits;
    return 0;
  }
  static constexpr SendOperations kOperations{Send, Wait};
  static void Reset(int atMost, int succeeding) {
    waits = 0;
    taken.clear();
    calls = 0;
    takeAtMost = atMost;
    failAfter = succeeding;
  }
};
std::string FakeSend::taken;
int FakeSend::calls = 0;
int FakeSend::failAfter = -1;
int FakeSend::takeAtMost = 0;
int FakeSend::waits = 0;

TEST(SendAllTest, DeliversEveryByteAcrossPartialSends) {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
  FakeSend::Reset(7, -1);
  int length = static_cast<int>(text.size());
  EXPECT_EQ(SendAllVia(FakeSend::kOperations, 3, text.data(), length, 2000), 0);
  EXPECT_EQ(length, static_cast<int>(text.size()));
  EXPECT_EQ(FakeSend::taken, text);
  EXPECT_EQ(FakeSend::calls, 6);
}

TEST(SendAllTest, StopsAtAFailedOrEmptySendAndReportsWhatWentOut) {
  const std::string text(40, 'a');
  FakeSend::Reset(10, 2);  // two sends of 10, then -1
  int length = 40;
  EXPECT_EQ(SendAllVia(FakeSend::kOperations, 3, text.data(), length, 2000), -1);
  EXPECT_EQ(length, 20);
  EXPECT_EQ(FakeSend::calls, 3);

  // A client that takes nothing more: one wait for room, and the time is up.
  FakeSend::Reset(0, 1);
  length = 40;
  EXPECT_EQ(SendAllVia(FakeSend::kOperations, 3, text.data(), length, 2000), kSendTimedOut);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(FakeSend::calls, 1);
  EXPECT_EQ(FakeSend::waits, 1);
}

TEST(SendAllTest, NothingToSendSendsNothing) {
  for (int requested : {0, -5}) {
    FakeSend::Reset(7, -1);
    int length = requested;
    EXPECT_EQ(SendAllVia(FakeSend::kOperations, 3, "abc", length, 2000), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(FakeSend::calls, 0);
  }
}

TEST(SendAllTest, PeerThatResetFailsTheSendAndTheProcessCarriesOn) {
  const test::SocketPair pair = test::MakeSocketPair(test::PortBlock(test::kSendAllReset));
  ASSERT_GE(pair.server, 0);
  test::os::ResetAndClose(pair.client);
  // The first sends may still be taken by the local buffer; a bounded number of megabytes
  // always reaches the reset.
  const std::vector<char> block(1 << 20, 'z');
  int result = 0;
  int length = 0;
  for (int i = 0; i < 64 && result == 0; ++i) {
    length = static_cast<int>(block.size());
    result = SendAll(pair.server, block.data(), length, 10000);
  }
  EXPECT_EQ(result, -1);
  EXPECT_LT(length, static_cast<int>(block.size()));
  test::CloseSocket(pair.server);
}

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
  for (const char* from : {"127.0.0.1", "127.0.0.9"}) {
    test::LoopbackClient client;
    EXPECT_TRUE(client.Connect(port, 2000, from));
    const Socket accepted = AcceptClient(listening);
    EXPECT_GE(accepted, 0);
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
  for (const char* unusable : {"", "localhost", "127.1", "1.2.3.4.5", "1.2.3.256", "1.2.3.",
                               "0x7f.0.0.1", "010.0.0.1", "+1.2.3.4", "1.2.3.4 ", "1..3.4"}) {
    EXPECT_FALSE(ParseAddressText(unusable, address)) << unusable;
  }
  EXPECT_EQ(address, 0xffc8000au);
}

TEST(WaitReadableTest, ZeroTimeoutReturnsAtOnceAndAClosedPeerIsReadable) {
  const test::SocketPair pair = test::MakeSocketPair(test::PortBlock(test::kWaitReadable));
  ASSERT_GE(pair.server, 0);
  const platform::Timeout none{0, 0};
  EXPECT_EQ(WaitReadable(pair.server, none), 0);
  const platform::Timeout shortWait{0, 20000};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitReadable(pair.server, shortWait), 0);
  test::CloseSocket(pair.client);
  const platform::Timeout longWait{10, 0};
  EXPECT_GT(WaitReadable(pair.server, longWait), 0);
  char byte;
  EXPECT_EQ(platform::ReceiveSome(pair.server, &byte, 1), 0);
  test::CloseSocket(pair.server);
}

}  // namespace
}  // namespace qc
