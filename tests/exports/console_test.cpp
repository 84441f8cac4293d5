// A developer's session end to end, with the test as the host: lines in, echoes out, rewriting,
// the console's own commands, time-outs, overflow, and clients that leave or fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "exports/host_fixture.h"
#include "support/ports.h"

namespace qc::test {
namespace {

// Spawns one console on the block's first port and attaches one client, whose connected notice
// the host has already taken (and whose echo the client has read). A test goes on only when
// ready: without the console every later read would only wait out its time limit.
struct Console1 {
  std::uint16_t port;
  unsigned goid;
  LoopbackClient client;
  bool ready = false;

  Console1(int block, unsigned id, const std::string& moreProfile = "")
      : port(PortBlock(block)), goid(id) {
    WriteProfile(ProfileWithPort(port, moreProfile));
    const std::string notice = ConnectedNotice(port, static_cast<int>(goid));
    ready = Spawn(goid, "goblin") && Attach(client, port) && NextMessage(goid) == notice &&
            IsStamped(client.ReadUntil("\r\n"), " " + notice + "\r\n");
  }
};

TEST(SessionTest, LineIsEchoedWhenTakenAndRewrittenForTheHost) {
  Console1 c(kSessionEcho, 42);
  ASSERT_TRUE(c.ready);
  LoopbackClient other;
  ASSERT_TRUE(Attach(other, c.port));
  ASSERT_EQ(NextMessage(42), ConnectedNotice(c.port, 42));

  ASSERT_TRUE(c.client.Send("[this].Attack([that](17)); [This].x [that] %s%n%x\r\n"));
  EXPECT_EQ(NextMessage(42), "MakeGoid(42).Attack(MakeGoid(17)); [This].x [that] %s%n%x\r\n");
  // Every client, the sender included, sees the other's connected notice, then the line as
  // typed after " QC_MSG: ".
  for (LoopbackClient* reader : {&c.client, &other}) {
    EXPECT_TRUE(IsStamped(reader->ReadUntil("\r\n"), " " + ConnectedNotice(c.port, 42) + "\r\n"));
    EXPECT_TRUE(IsStamped(reader->ReadUntil("\r\n"),
                          " QC_MSG: [this].Attack([that](17)); [This].x [that] %s%n%x\r\n"));
  }
}

TEST(SessionTest, PasswordGateRefusesAWrongFirstLineAndAdmitsTheRightOne) {
  const std::uint16_t port = PortBlock(kSessionPassword);
  WriteProfile(ProfileWithPort(port, "Password=\" open Sesame\"\n"));
  ASSERT_TRUE(Spawn(23, "vault"));
  LoopbackClient wrong, right;
  for (LoopbackClient* client : {&wrong, &right}) {
    ASSERT_TRUE(Attach(*client, port));
    EXPECT_TRUE(IsStamped(client->ReadUntil("\r\n"), " QC_OK: Password required\r\n"));
  }
  // A telnet client's negotiation before the password is refused and is no part of it.
  ASSERT_TRUE(right.Send("\xff\xfb\x1f\xff\xfd\x01 open Sesame\r\n"));
  EXPECT_EQ(right.ReadBytes(6), "\xff\xfe\x1f\xff\xfc\x01");
  EXPECT_TRUE(IsStamped(right.ReadUntil("\r\n"), " QC_OK: Password accepted\r\n"));
  EXPECT_EQ(NextMessage(23), ConnectedNotice(port, 23));
  // The other is not listed and hears no broadcast; its first line, even [who], is its attempt.
  Broadcast(23, "QC_OK: for the admitted only");
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(wrong.Send("[who]\n"));
  wrong.ShutdownSending();  // it has said all it will; the answer still reaches it
  EXPECT_TRUE(IsStamped(wrong.ReadUntil("\r\n"), " QC_ERROR: Wrong password\r\n"));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(900));
  EXPECT_TRUE(wrong.WaitClosed());
  EXPECT_EQ(NextMessage(23), "QC_ERROR: 127.0.0.1 refused: wrong password (Port " +
                                 std::to_string(port) + ", GoID: 23)");
  ASSERT_TRUE(right.Send("[who]\n"));
  const std::string seen = right.ReadUntil("End of list\r\n");
  EXPECT_NE(seen.find(" QC_OK: for the admitted only\r\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("[01]\t127.0.0.1\r\n"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("[02]"), std::string::npos) << seen;
}

TEST(SessionTest, PendingTextsComeOutNewestFirst) {
  const std::uint16_t port = PortBlock(kSessionNewestFirst);
  WriteProfile(ProfileWithPort(port, "Timeout=On\nTimeoutVal=500\n"));
  ASSERT_TRUE(Spawn(4294967295u, "stack"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port));
  ASSERT_EQ(client.ReadUntil(kTimedOut), kTimedOut);
  ASSERT_TRUE(SendAlone(client, "A[this].\n"));
  ASSERT_TRUE(SendAlone(client, "B\n"));
  EXPECT_STREQ(Console().GetNextMessage(4294967295u), "B\n");
  EXPECT_STREQ(Console().GetNextMessage(4294967295u), "AMakeGoid(-1).\n");
  EXPECT_EQ(Console().GetNextMessage(4294967295u), ConnectedNotice(port, -1));
  EXPECT_STREQ(Console().GetNextMessage(4294967295u), "");
}

TEST(SessionTest, PiecesMakeOneLineAndTwoLinesInOnePieceMakeOneMessage) {
  Console1 c(kSessionPieces, 3);
  ASSERT_TRUE(c.ready);
  ASSERT_TRUE(c.client.Send("first "));
  ASSERT_TRUE(c.client.Send("half"));
  ASSERT_TRUE(c.client.Send(" and the end\n"));
  EXPECT_EQ(NextMessage(3), "first half and the end\n");
  ASSERT_TRUE(c.client.Send("one\r\ntwo\r\n"));
  EXPECT_EQ(NextMessage(3), "one\r\ntwo\r\n");
  ASSERT_TRUE(c.client.Send("\r\n"));
  EXPECT_EQ(NextMessage(3), "\r\n");
  EXPECT_STREQ(Console().GetNextMessage(3), "");
}

TEST(SessionTest, CommandsMatchOnlyAtLineStartAndInTheirCase) {
  Console1 c(kSessionCommands, 8);
  ASSERT_TRUE(c.ready);
  ASSERT_TRUE(c.client.Send(" [quit]\n"));
  EXPECT_EQ(NextMessage(8), " [quit]\n");
  ASSERT_TRUE(c.client.Send("[QUIT]\n"));
  EXPECT_EQ(NextMessage(8), "[QUIT]\n");
  EXPECT_TRUE(IsStamped(c.client.ReadUntil("\n"), " QC_MSG:  [quit]\n"));
  EXPECT_TRUE(IsStamped(c.client.ReadUntil("\n"), " QC_MSG: [QUIT]\n"));
  ASSERT_TRUE(c.client.Send("[quit] and goodbye\r\n"));
  EXPECT_TRUE(IsStamped(c.client.ReadUntil("\r\n"),
                        " QC_OK: Disconnecting from Team Quillaret development console\r\n"));
  EXPECT_TRUE(c.client.WaitClosed());
  EXPECT_EQ(NextMessage(8), DisconnectedNotice(c.port, 8));
}

TEST(SessionTest, SilentClientGetsTimeoutNoticesAndItsPartialLineSurvives) {
  const std::uint16_t port = PortBlock(kSessionTimeout);
  WriteProfile(ProfileWithPort(port, "Timeout=on\nTimeoutVal=300\n"));
  StderrCapture errors;
  ASSERT_TRUE(Spawn(9, "sleepy"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port));
  EXPECT_EQ(client.ReadUntil("\r\n"), "QC_ERROR: Connection has timed out\r\n");
  ASSERT_TRUE(client.Send("par"));
  EXPECT_EQ(client.ReadUntil("\r\n"), "QC_ERROR: Connection has timed out\r\n");
  ASSERT_TRUE(client.Send("tial\n"));
  EXPECT_TRUE(TakeUntil(9, "partial\n"));
  EXPECT_TRUE(errors.WaitFor("QC_ERROR: Connection has timed out\r\n"));
  EXPECT_EQ(errors.Text().find("recv() failed"), std::string::npos);
}

TEST(SessionTest, ResetClientIsReportedAndItsWorkerServesTheNext) {
  Console1 c(kSessionReset, 10);
  ASSERT_TRUE(c.ready);
  LoopbackClient other;
  ASSERT_TRUE(Attach(other, c.port, "127.0.0.2"));
  ASSERT_EQ(NextMessage(10), ConnectedNotice(c.port, 10, "127.0.0.2"));
  StderrCapture errors;

  c.client.Reset();
  EXPECT_EQ(NextMessage(10), DisconnectedNotice(c.port, 10));
  EXPECT_TRUE(errors.WaitFor("QC_ERROR: recv() failed\n"));
  ASSERT_TRUE(other.Send("[who]\n"));
  const std::string listing = other.ReadUntil("End of list\r\n");
  EXPECT_NE(listing.find("[01]\t127.0.0.2\r\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("[02]"), std::string::npos) << listing;

  // A client that closes its end in order leaves without any diagnostic line.
  other.Close();
  EXPECT_EQ(NextMessage(10), DisconnectedNotice(c.port, 10, "127.0.0.2"));
  LoopbackClient next;
  ASSERT_TRUE(Attach(next, c.port));
  EXPECT_EQ(NextMessage(10), ConnectedNotice(c.port, 10));
  EXPECT_EQ(errors.Text(), "QC_ERROR: recv() failed\n");
}

TEST(SessionTest, HundredClientsAreServedAndTheHundredAndFirstWaitsForAFreeWorker) {
  Console1 c(kSessionHundredClients, 12);
  ASSERT_TRUE(c.ready);
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 1; i < 100; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(Attach(*clients.back(), c.port)) << "client " << i;
  }
  LoopbackClient waiting;
  ASSERT_TRUE(waiting.Connect(c.port));  // the platform queues it; no worker is free
  EXPECT_EQ(waiting.ReadFor(300), "");
  ASSERT_TRUE(clients.front()->Send("[quit]\n"));
  EXPECT_TRUE(IsStamped(waiting.ReadUntil("\r\n"), kWelcome));
}

// A threaded host that polls one console from two threads at once. Each thread looks only at
// whether it was handed something (the shared empty string or not): reading the text itself
// would race with the other thread's next call, which the host's contract leaves to the host.
// Every typed line must then be handed over exactly once, which the echoes show.
TEST(SessionTest, TwoPollingThreadsEachTakeDifferentEntries) {
  Console1 c(kSessionTwoPollers, 14);
  ASSERT_TRUE(c.ready);
  const char* const nothing = Console().GetNextMessage(0xfffffff0u);  // no such console
  constexpr int kTypists = 3;
  constexpr int kLines = 100;
  std::vector<std::unique_ptr<LoopbackClient>> typists;
  for (int i = 0; i < kTypists; ++i) {
    typists.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(Attach(*typists.back(), c.port));
    ASSERT_TRUE(TakeUntil(14, ConnectedNotice(c.port, 14)));
  }
  std::atomic<int> handed{0};
  std::atomic<bool> stop{false}, typed{false};
  auto poll = [&] {
    while (!stop) {
      if (Console().GetNextMessage(14) != nothing) ++handed;
    }
  };
  std::thread first(poll), second(poll);
  // Listings take the state lock too, between the pushes and the pops.
  std::thread lister([&] {
    LoopbackClient client;
    if (!Attach(client, c.port)) return;
    while (!typed) {
      if (!client.Send("[who]\n") || client.ReadUntil("End of list\r\n").empty()) return;
      if (!client.Send("[spawns]\n") || client.ReadUntil("End of list\r\n").empty()) return;
    }
  });
  // Each typist sends its next line only once its echo has come, so no two lines share a piece.
  std::vector<std::thread> typing;
  for (int i = 0; i < kTypists; ++i) {
    typing.emplace_back([&, i] {
      for (int n = 0; n < kLines; ++n) {
        const std::string line = "t" + std::to_string(i) + " line " + std::to_string(n) + "\n";
        if (!typists[i]->Send(line) || typists[i]->ReadUntil(" QC_MSG: " + line).empty()) return;
      }
    });
  }
  for (std::thread& t : typing) t.join();
  typed = true;
  lister.join();
  // The lines, and the lister's connected and disconnected notices.
  const int expected = kTypists * kLines + 2;
  EXPECT_TRUE(WaitUntil([&] { return handed.load() >= expected; }));
  stop = true;
  first.join();
  second.join();
  EXPECT_EQ(handed.load(), expected);
  EXPECT_EQ(Console().GetNextMessage(14), nothing);
  // The session's client heard every line exactly once, in whatever order the pollers took them.
  const std::string echoes = c.client.ReadFor(500);
  for (int i = 0; i < kTypists; ++i) {
    for (int n = 0; n < kLines; ++n) {
      const std::string line =
          " QC_MSG: t" + std::to_string(i) + " line " + std::to_string(n) + "\n";
      const auto at = echoes.find(line);
      ASSERT_NE(at, std::string::npos) << line;
      EXPECT_EQ(echoes.find(line, at + 1), std::string::npos) << line;
    }
  }
}

// One character more than a line holds overflows once. (That every client hears each notice
// twice, at once and when the host takes it, the hostile-input test of a megabyte shows.)
TEST(SessionTest, OneCharacterTooManyOverflowsOnceAndTheLineIsCut) {
  Console1 c(kSessionOverflow, 13);
  ASSERT_TRUE(c.ready);
  LoopbackClient other;
  ASSERT_TRUE(Attach(other, c.port));
  ASSERT_EQ(NextMessage(13), ConnectedNotice(c.port, 13));
  for (LoopbackClient* reader : {&c.client, &other}) {
    ASSERT_FALSE(reader->ReadUntil("\r\n").empty());  // the other's connected notice
  }

  // 65,535 characters and a line feed: one character more than a line holds.
  ASSERT_TRUE(c.client.Send(std::string(65535, 'x') + "\n"));
  const std::string notice = "QC_ERROR: Buffer overflow detected from client (IP: 127.0.0.1)";
  for (LoopbackClient* reader : {&c.client, &other}) {
    EXPECT_TRUE(IsStamped(reader->ReadUntil("\r\n"), " " + notice + "\r\n"));
  }
  // The line (cut, ending in a line feed) is pushed after the notice's broadcast, so the host
  // may take the notice before the line is there; once it is, the line comes out first.
  std::string line = NextMessage(13);
  const bool noticeFirst = line == notice;
  if (noticeFirst) line = NextMessage(13);
  EXPECT_LE(line.size(), 65535u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find_first_not_of('x'), line.size() - 1);
  if (!noticeFirst) {
    EXPECT_EQ(NextMessage(13), notice);
  }
  EXPECT_EQ(Console().GetNextMessage(13), std::string());  // one notice, for one overflow
}

TEST(SessionTest, LongestLineGoesThroughWholeWithoutNotice) {
  Console1 c(kSessionLongestLine, 14);
  ASSERT_TRUE(c.ready);
  const std::string longest = std::string(65534, 'y') + "\n";
  // Telnet commands in it (taken out, unanswered) do not count toward the limit.
  ASSERT_TRUE(
      c.client.Send("\xff\xf1" + longest.substr(0, 9) + "\xff\xfe\x03" + longest.substr(9)));
  EXPECT_EQ(NextMessage(14), longest);
  // The echo is longer than one line buffer and still arrives whole.
  const std::string echo = c.client.ReadBytes(8 + 9 + longest.size());
  EXPECT_TRUE(IsStamped(echo, " QC_MSG: " + longest));
  EXPECT_STREQ(Console().GetNextMessage(14), "");
}

TEST(BroadcastMsgTest, HostOutputReachesEveryClientInTheLineFormat) {
  Console1 c(kBroadcastMsg, 15);
  ASSERT_TRUE(c.ready);
  LoopbackClient other;
  ASSERT_TRUE(Attach(other, c.port));
  ASSERT_EQ(NextMessage(15), ConnectedNotice(c.port, 15));
  ASSERT_FALSE(c.client.ReadUntil("\r\n").empty());

  Broadcast(15, "QC_REPORT: hp=10");
  Broadcast(15, "");
  Broadcast(16, "nobody hears this\n");
  Broadcast(15, "plain output\n");
  for (LoopbackClient* reader : {&c.client, &other}) {
    if (reader == &other) {
      ASSERT_FALSE(reader->ReadUntil("\r\n").empty());  // its own notice echo
    }
    EXPECT_TRUE(IsStamped(reader->ReadUntil("\r\n"), " QC_REPORT: hp=10\r\n"));
    EXPECT_TRUE(IsStamped(reader->ReadUntil("\n"), " QC_MSG: plain output\n"));
  }
}

}  // namespace
}  // namespace qc::test
