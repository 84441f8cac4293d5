// Output queues: blocks shared between queues, sent in order across partial sends, small ones
// gathered, and a broken peer failing the send without a signal; and the judging of a client's
// unsent output against the soft and hard limits.
#include "net/output_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "net/client.h"
#include "net/limits.h"
#include "net/send_policy.h"
#include "server/console_server.h"
#include "support/queued_output.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc {
namespace {

// A send that takes at most takeAtMost bytes per call, then reports a full socket (or a
// failure) after `succeeding` calls.
struct FakeSend {
  static std::string taken;
  static int calls;
  static int succeeding;
  static int takeAtMost;
  static bool fail;
  static int Send(Socket, const char* data, int length) {
    if (calls++ >= succeeding) return fail ? -1 : platform::kWouldBlock;
    const int n = length < takeAtMost ? length : takeAtMost;
    taken.append(data, static_cast<std::size_t>(n));
    return n;
  }
  static void Reset(int atMost, int calls, bool failing) {
    taken.clear();
    FakeSend::calls = 0;
    takeAtMost = atMost;
    succeeding = calls;
    fail = failing;
  }
};
std::string FakeSend::taken;
int FakeSend::calls = 0;
int FakeSend::succeeding = 0;
int FakeSend::takeAtMost = 0;
bool FakeSend::fail = false;

TEST(OutputQueueTest, SharedBlocksGoOutInOrderAcrossPartialSendsAndAreFreedByTheLastQueue) {
  OutputBlock* shared = CopyToBlock("shared line\r\n", 13);
  OutputQueue first{}, second{};
  ASSERT_TRUE(QueueBytes(first, "welcome\r\n", 9));
  ASSERT_TRUE(QueueBlock(first, shared));
  ASSERT_TRUE(QueueBlock(second, shared));
  const std::string big(10000, 'b');  // too long to gather
  ASSERT_TRUE(QueueBytes(first, big.data(), big.size()));
  ASSERT_TRUE(QueueBytes(first, "", 0));  // nothing to send: nothing queued
  EXPECT_EQ(shared->References, 2);
  EXPECT_EQ(first.Bytes, 9 + 13 + big.size());

  char stage[64];
  bool progressed = false;
  // Three bytes a call: a partial send means the socket is full for now.
  FakeSend::Reset(3, 100000, false);
  EXPECT_EQ(FlushQueue(first, 1, FakeSend::Send, stage, sizeof stage, progressed),
            FlushResult::kWaiting);
  EXPECT_TRUE(progressed);
  EXPECT_EQ(FakeSend::taken, "wel");
  EXPECT_EQ(first.Bytes, 6 + 13 + big.size());
  FlushResult result = FlushResult::kWaiting;
  for (int i = 0; i < 10000 && result == FlushResult::kWaiting; ++i) {
    result = FlushQueue(first, 1, FakeSend::Send, stage, sizeof stage, progressed);
  }
  EXPECT_EQ(result, FlushResult::kEmpty);
  EXPECT_TRUE(FakeSend::taken == "welcome\r\nshared line\r\n" + big);
  EXPECT_EQ(first.Count, 0);
  EXPECT_EQ(first.Bytes, 0u);
  EXPECT_EQ(shared->References, 1);  // still the second queue's
  // One byte, then the connection breaks: the rest stays queued, and nothing more is sent.
  FakeSend::Reset(1, 1, true);
  EXPECT_EQ(FlushQueue(second, 1, FakeSend::Send, stage, sizeof stage, progressed),
            FlushResult::kWaiting);
  EXPECT_EQ(FlushQueue(second, 1, FakeSend::Send, stage, sizeof stage, progressed),
            FlushResult::kFailed);
  EXPECT_FALSE(progressed);
  EXPECT_EQ(test::TakeQueued(second), "hared line\r\n");
  ClearQueue(first);
}

TEST(OutputQueueTest, ShortBlocksAreGatheredIntoOneSend) {
  OutputQueue queue{};
  for (const char* line : {"one\r\n", "two\r\n", "three\r\n"}) {
    ASSERT_TRUE(QueueBytes(queue, line, std::char_traits<char>::length(line)));
  }
  char stage[16];  // room for two of them at once
  bool progressed = false;
  FakeSend::Reset(1000, 100, false);
  EXPECT_EQ(FlushQueue(queue, 1, FakeSend::Send, stage, sizeof stage, progressed),
            FlushResult::kEmpty);
  EXPECT_EQ(FakeSend::taken, "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(FakeSend::calls, 2);
  ClearQueue(queue);
}

TEST(OutputQueueTest, APeerThatResetFailsTheFlushAsAResetAndTheProcessCarriesOn) {
  const test::SocketPair pair = test::MakeSocketPair(test::PortBlock(test::kSendAllReset));
  ASSERT_GE(pair.server, 0);
  test::os::ResetAndClose(pair.client);
  OutputQueue queue{};
  const std::string block(64 * 1024, 'r');
  char stage[4096];
  bool progressed = false;
  FlushResult result = FlushResult::kEmpty;
  // The reset may need a send or two to show; a signal would end the test program here.
  for (int i = 0; i < 50 && (result == FlushResult::kEmpty || result == FlushResult::kWaiting);
       ++i) {
    ASSERT_TRUE(QueueBytes(queue, block.data(), block.size()));
    result = FlushQueue(queue, pair.server, platform::SendSomeNow, stage, sizeof stage, progressed);
    if (result == FlushResult::kWaiting) test::os::SleepMillis(5);
  }
  EXPECT_EQ(result, FlushResult::kReset);  // reported as the reset it is, not another failure
  ClearQueue(queue);
  test::CloseSocket(pair.server);
}

// A console's send policy and one client of it: a soft limit of 1000 bytes and a send time limit
// of 2 s.
class SendPolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = NewConsoleServer(1, "policy");
    ASSERT_NE(server, nullptr);
    server->SendBufferBytes = 1000;
    server->SendTimeoutMillis = 2000;
    client = NewClientState(-1);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    DeleteClientState(client);
    DeleteConsoleServer(server);
  }
  // Fills the client's output past the hard limit with copies of block: judged at now, it is to
  // be dropped at once.
  void ExpectDroppedPastTheHardLimit(const std::string& block, std::int64_t now) {
    while (client->Output.Queue.Bytes <= HardOutputLimit(*server)) {
      ASSERT_TRUE(QueueBytes(client->Output.Queue, block.data(), block.size()));
    }
    JudgeOutput(*server, *client, now);
    EXPECT_EQ(client->Output.Drop, ClientDrop::kBufferFull);
  }

  ConsoleServer* server = nullptr;
  ClientState* client = nullptr;
};

TEST_F(SendPolicyTest, OutputPastTheSoftLimitForTheSendTimeOrPastTheHardLimitIsDropped) {
  const std::string kilobyte(1000, 'x');

  // Within the soft limit nothing is judged; past it the time starts, and a client that
  // stays past it for the send time limit is dropped, however slowly it reads meanwhile.
  ASSERT_TRUE(QueueBytes(client->Output.Queue, kilobyte.data(), kilobyte.size()));
  JudgeOutput(*server, *client, 10000);
  EXPECT_EQ(client->Output.OverSoftSince, 0);
  ASSERT_TRUE(QueueBytes(client->Output.Queue, "y", 1));
  JudgeOutput(*server, *client, 10000);
  EXPECT_EQ(client->Output.OverSoftSince, 10000);
  EXPECT_EQ(NextSendDeadline(*server, *client), 12000);
  JudgeOutput(*server, *client, 11999);
  EXPECT_EQ(client->Output.Drop, ClientDrop::kNone);
  JudgeOutput(*server, *client, 12000);
  EXPECT_EQ(client->Output.Drop, ClientDrop::kBufferFull);

  // Back within the soft limit the time starts afresh; past the hard limit the drop is at once.
  client->Output.Drop = ClientDrop::kNone;
  ClearQueue(client->Output.Queue);
  JudgeOutput(*server, *client, 13000);
  EXPECT_EQ(client->Output.OverSoftSince, 0);
  EXPECT_EQ(NextSendDeadline(*server, *client), 0);
  ExpectDroppedPastTheHardLimit(kilobyte, 14000);
}

// The send time limit: it starts afresh whenever the socket takes output, a socket found full is
// tried again at half the limit without being reported writable, such a late try counts only when
// it takes kLateProgressBytes, and a client that takes nothing for the limit is timed out.
// SendTimeoutVal=0 times nobody out: a full socket waits to be reported writable, and only the
// hard limit drops.
TEST_F(SendPolicyTest, TheSendTimeLimitStartsAfreshWhenOutputIsTakenAndZeroMeansNoLimit) {
  const std::string block(kLateProgressBytes, 'x');
  ASSERT_TRUE(QueueBytes(client->Output.Queue, block.data(), block.size()));
  const std::size_t queued = client->Output.Queue.Bytes;
  // A try at `now` that left the socket full after it took `taken` bytes.
  auto tryAt = [&](std::int64_t now, bool late, std::size_t taken) {
    client->Output.TriedAt = now;
    return JudgeSend(*server, *client, now,
                     SendTry{true, late, queued + taken, FlushResult::kWaiting, taken > 0});
  };
  const SendTry untried{};

  EXPECT_TRUE(ShouldTrySend(*server, *client, 10000));
  EXPECT_EQ(tryAt(10000, false, 10), SendVerdict::kKeep);
  EXPECT_EQ(client->Output.StalledSince, 10000);
  EXPECT_FALSE(ShouldTrySend(*server, *client, 10999));
  EXPECT_EQ(NextSendDeadline(*server, *client), 11000);
  EXPECT_TRUE(ShouldTrySend(*server, *client, 11000));
  EXPECT_EQ(tryAt(11000, true, kLateProgressBytes - 1), SendVerdict::kKeep);
  EXPECT_EQ(client->Output.StalledSince, 10000);  // a trickle does not restart the limit
  EXPECT_EQ(tryAt(11500, true, kLateProgressBytes), SendVerdict::kKeep);
  EXPECT_EQ(client->Output.StalledSince, 11500);
  EXPECT_EQ(JudgeSend(*server, *client, 13499, untried), SendVerdict::kKeep);
  EXPECT_EQ(JudgeSend(*server, *client, 13500, untried), SendVerdict::kTimedOut);
  EXPECT_TRUE(ShouldTrySend(*server, *client, 13500));  // the try that times it out

  // Output that all went out clears the limit.
  EXPECT_EQ(
      JudgeSend(*server, *client, 13500, SendTry{true, true, queued, FlushResult::kEmpty, true}),
      SendVerdict::kKeep);
  EXPECT_EQ(client->Output.StalledSince, 0);

  server->SendTimeoutMillis = 0;
  EXPECT_EQ(tryAt(20000, false, 0), SendVerdict::kKeep);
  EXPECT_EQ(JudgeSend(*server, *client, 1000000, untried), SendVerdict::kKeep);
  EXPECT_FALSE(ShouldTrySend(*server, *client, 1000000));
  ASSERT_TRUE(QueueBytes(client->Output.Queue, "y", 1));
  JudgeOutput(*server, *client, 20000);
  JudgeOutput(*server, *client, 1000000);
  EXPECT_EQ(client->Output.Drop, ClientDrop::kNone);
  EXPECT_EQ(NextSendDeadline(*server, *client), 0);
  ExpectDroppedPastTheHardLimit(block, 1000001);
}

}  // namespace
}  // namespace qc
