// The platform layer's contract, which posix.cpp and win32.cpp must keep alike: failures are
// exactly -1, a negative receive time fails, and profile strings are cut to the buffer.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/test_support.h"
#include "support/ports.h"

namespace qc::platform {
namespace {

constexpr const char* kProfileFile = "quillaret_console.ini";

TEST(PlatformSocketTest, EveryOperationOnAClosedSocketFailsWithExactlyMinusOne) {
  ASSERT_EQ(StartSocketLibrary(), 0);  // Winsock refuses every socket call before it
  const Socket s = CreateTcpSocket();
  ASSERT_GE(s, 0);
  ASSERT_EQ(CloseSocket(s), 0);
  // The test creates nothing else meanwhile, so the number still names no socket.
  char byte = 'x';
  std::uint8_t octets[4] = {9, 9, 9, 9};
  EXPECT_EQ(BindTo(s, 0, test::PortBlock(test::kPlatformClosedSocket)), -1);
  EXPECT_EQ(ListenOn(s, 10), -1);
  EXPECT_EQ(AcceptConnection(s), -1);
  EXPECT_EQ(WaitForReadable(s, Timeout{0, 0}), -1);
  EXPECT_EQ(SendSomeNow(s, &byte, 1), -1);
  EXPECT_EQ(WaitForWritable(s, 0), -1);
  EXPECT_EQ(ShutdownSocket(s), -1);
  EXPECT_EQ(ReceiveSome(s, &byte, 1), -1);
  EXPECT_EQ(PeerAddress(s, octets), -1);
  EXPECT_EQ(CloseSocket(s), -1);
}

TEST(PlatformWaitTest, NegativeTimeFailsEvenWithInputWaiting) {
  const test::SocketPair pair = test::MakeSocketPair(test::PortBlock(test::kPlatformNegativeWait));
  ASSERT_GE(pair.server, 0);
  ASSERT_EQ(test::os::SendBytes(pair.client, "x", 1), 1);
  ASSERT_GT(WaitForReadable(pair.server, Timeout{10, 0}), 0);
  // Readable input is waiting, so a layer that waited on a negative time as on zero or as on
  // none at all would report it instead of failing.
  for (const Timeout t : {Timeout{-1, 0}, Timeout{0, -1}, Timeout{-1, -500000}}) {
    EXPECT_EQ(WaitForReadable(pair.server, t), -1) << t.seconds << " s " << t.micros << " us";
  }
  EXPECT_GT(WaitForReadable(pair.server, Timeout{0, 0}), 0);
  test::CloseSocket(pair.client);
  test::CloseSocket(pair.server);
}

TEST(PlatformProfileTest, StringsAreCutToTheBufferAndTheCutLengthIsReturned) {
  test::WriteProfile("[QCServer]\nTimeout=abcdefgh\n");
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(ReadProfileString("QCServer", "Timeout", "Off", out, sizeof out, kProfileFile), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(ReadProfileString("QCServer", "Missing", "fallback", out, sizeof out, kProfileFile),
            3);
  EXPECT_STREQ(out, "fal");
  char wide[16];
  EXPECT_EQ(ReadProfileString("QCServer", "Timeout", "Off", wide, sizeof wide, kProfileFile), 8);
  EXPECT_STREQ(wide, "abcdefgh");
  test::WriteProfile("");
}

}  // namespace
}  // namespace qc::platform
