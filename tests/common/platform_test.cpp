// The platform layer's contract, which posix.cpp and win32.cpp must keep alike: failures are
// exactly -1, a readiness wait sees input and the waker, and profile strings are cut to the
// buffer.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "common/diagnostic.h"

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
  PollEntry entry{s, true, true, false, false};
  EXPECT_EQ(WaitForEvents(&entry, 1, 0), -1);
  EXPECT_EQ(SendSomeNow(s, &byte, 1), -1);
  EXPECT_EQ(ReceiveSomeNow(s, &byte, 1), -1);
  EXPECT_EQ(PeerAddress(s, octets), -1);
  EXPECT_EQ(CloseSocket(s), -1);
}

TEST(PlatformWaitTest, InputTheWakerAndAClosedPeerEachEndAWaitAndNothingElseDoes) {
  const test::SocketPair pair = test::MakeSocketPair(test::PortBlock(test::kPlatformNegativeWait));
  ASSERT_GE(pair.server, 0);
  Waker* waker = CreateWaker();
  ASSERT_NE(waker, nullptr);
  EXPECT_FALSE(test::os::ChildrenInherit(WakerSocket(waker)));
  PollEntry entries[2] = {{WakerSocket(waker), true, false, false, false},
                          {pair.server, true, true, false, false}};
  // Writable at once; nothing to read, and the waker silent.
  ASSERT_EQ(WaitForEvents(entries, 2, 5000), 1);
  EXPECT_FALSE(entries[0].isReadable);
  EXPECT_FALSE(entries[1].isReadable);
  EXPECT_TRUE(entries[1].isWritable);
  entries[1].wantWrite = false;
  EXPECT_EQ(WaitForEvents(entries, 2, 20), 0);
  char byte = 0;
  // Two signals, one drain: the waker is quiet again.
  SignalWaker(waker);
  SignalWaker(waker);
  ASSERT_EQ(WaitForEvents(entries, 2, 5000), 1);
  EXPECT_TRUE(entries[0].isReadable);
  DrainWaker(waker);
  EXPECT_EQ(WaitForEvents(entries, 2, 0), 0);
  ASSERT_EQ(test::os::SendBytes(pair.client, "x", 1), 1);
  ASSERT_EQ(WaitForEvents(entries, 2, 5000), 1);
  EXPECT_TRUE(entries[1].isReadable);
  EXPECT_EQ(ReceiveSomeNow(pair.server, &byte, 1), 1);
  test::CloseSocket(pair.client);
  ASSERT_EQ(WaitForEvents(entries, 2, 5000), 1);
  EXPECT_EQ(ReceiveSomeNow(pair.server, &byte, 1), 0);
  test::CloseSocket(pair.server);
  // Signalled far more often than it is drained, the waker stays signalled and every signal
  // counts as given; one drain quiets it.
  for (int i = 0; i < 70000; ++i) ASSERT_TRUE(SignalWaker(waker)) << "signal " << i;
  ASSERT_EQ(WaitForEvents(entries, 1, 5000), 1);
  DrainWaker(waker);
  EXPECT_EQ(WaitForEvents(entries, 1, 0), 0);
  // A wait for more sockets than one wait can watch is refused.
  EXPECT_EQ(WaitForEvents(entries, kMaxPollEntries + 1, 0), -1);
  EXPECT_EQ(WaitForEvents(entries, -1, 0), -1);
  DestroyWaker(waker);
}

// What the system reports for a socket option; -1 when it will not say.
int OptionOf(Socket s, int level, int name) {
  int value = -1;
#ifdef _WIN32
  int length = sizeof value;
  if (getsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<char*>(&value), &length) !=
      0)
    return -1;
#else
  socklen_t length = sizeof value;
  if (getsockopt(s, level, name, &value, &length) != 0) return -1;
#endif
  return value;
}

TEST(PlatformSocketTest, ATunedConnectionHasItsSendBufferAndKeepalive) {
  ASSERT_EQ(StartSocketLibrary(), 0);
  const test::SocketPair pair =
      test::MakeSocketPair(test::PortBlock(test::kPlatformTunedConnection));
  ASSERT_GE(pair.server, 0);
  const int result = TuneConnection(pair.server, 48 * 1024, 61, 11, 5);
  EXPECT_NE(OptionOf(pair.server, SOL_SOCKET, SO_KEEPALIVE), 0);
#ifdef _WIN32
  EXPECT_EQ(OptionOf(pair.server, SOL_SOCKET, SO_SNDBUF), 48 * 1024);
  (void)result;  // the timings exist from Windows 10 on; older systems and wine may refuse them
#else
  EXPECT_EQ(result, 0);
  EXPECT_EQ(OptionOf(pair.server, SOL_SOCKET, SO_SNDBUF), 2 * 48 * 1024);  // Linux doubles it
  EXPECT_EQ(OptionOf(pair.server, IPPROTO_TCP, TCP_KEEPIDLE), 61);
  EXPECT_EQ(OptionOf(pair.server, IPPROTO_TCP, TCP_KEEPINTVL), 11);
  EXPECT_EQ(OptionOf(pair.server, IPPROTO_TCP, TCP_KEEPCNT), 5);
  EXPECT_EQ(TuneConnection(pair.server, 48 * 1024, 0, 11, 5), -1);  // an idle time of 0 is refused
#endif
  test::CloseSocket(pair.server);
  test::CloseSocket(pair.client);
}

TEST(PlatformProfileTest, StringsAreCutToTheBufferAndTheCutLengthIsReturned) {
  test::WriteProfile("[QCServer]\nTimeout=abcdefgh\n");
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(ReadProfileString("QCServer", "Timeout", "Off", out, sizeof out, kProfileFile), 3);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(ReadProfileString("QCServer", "Missing", "fallback", out, sizeof out, kProfileFile), 3);
  EXPECT_STREQ(out, "fal");
  char wide[16];
  EXPECT_EQ(ReadProfileString("QCServer", "Timeout", "Off", wide, sizeof wide, kProfileFile), 8);
  EXPECT_STREQ(wide, "abcdefgh");
  EXPECT_EQ(ReadProfileString("QCServer", "Timeout", "Off", wide, 0, kProfileFile), 0);
  EXPECT_STREQ(wide, "abcdefgh");  // no room: nothing written
  test::WriteProfile("");
}

#ifndef _WIN32
// Standard error is a full pipe: the lines wait, in order, as many as the queue holds; the rest
// are counted, and the count is written once standard error takes lines again.
TEST(DiagnosticTest, LinesPastTheQueueAreCountedAndTheCountFollowsTheKeptOnes) {
  test::FullStandardError pipe;
  ASSERT_TRUE(pipe.Made());
  const std::string& fill = pipe.Fill();
  const int total = kWaitingDiagnostics + 5;
  for (int i = 0; i < total; ++i) WriteDiagnostic(("line " + std::to_string(i) + "\n").c_str());
  // The writer thread waits on the pipe; reading it lets everything out.
  bool wroteAfter = false;
  const std::string written = pipe.ReadUntil("after\n", [&](const std::string& read) {
    if (!wroteAfter && read.find("took none of them\n") != std::string::npos) {
      WriteDiagnostic("after\n");  // a line after the count is neither lost nor counted
      wroteAfter = true;
    }
  });
  pipe.Restore();
  ASSERT_EQ(written.compare(0, fill.size(), fill), 0);
  // The writer may have taken the first line before the queue filled: that one is kept too.
  std::size_t at = fill.size();
  int kept = 0;
  while (written.compare(at, 5, "line ") == 0) {
    const std::string expected = "line " + std::to_string(kept) + "\n";
    ASSERT_EQ(written.compare(at, expected.size(), expected), 0) << written.substr(at, 40);
    at += expected.size();
    ++kept;
  }
  EXPECT_GE(kept, kWaitingDiagnostics);
  EXPECT_LE(kept, kWaitingDiagnostics + 1);
  EXPECT_EQ(written.substr(at), "QC_ERROR: " + std::to_string(total - kept) +
                                    " diagnostic lines lost: standard error took none of them\n"
                                    "after\n");
}
#endif

}  // namespace
}  // namespace qc::platform
