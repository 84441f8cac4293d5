// Hostile input over the wire, with the test as the host: printf directives, zero bytes, a
// megabyte without a line feed, clients that connect and say nothing, and a client that stops
// reading while the host broadcasts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "exports/host_fixture.h"
#include "support/ports.h"

namespace qc::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kOverflowNotice =
    "QC_ERROR: Buffer overflow detected from client (IP: 127.0.0.1)";

// Takes every pending text until the stack is empty (the caller knows every push is done).
std::vector<std::string> TakeAll(unsigned goid) {
  std::vector<std::string> texts;
  for (std::string text; !(text = Console().GetNextMessage(goid)).empty();) texts.push_back(text);
  return texts;
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

TEST(HostileInputTest, PrintfDirectivesTravelAsPlainText) {
  const std::uint16_t port = PortBlock(kHostilePrintf);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(510, "%s%n%p%x"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port));
  ASSERT_EQ(NextMessage(510), ConnectedNotice(port, 510));
  ASSERT_FALSE(client.ReadUntil("\r\n").empty());

  const std::string line = "%s%s%s%n%n%x%p%999999999d%hn%.99999f%c%ls\r\n";
  ASSERT_TRUE(client.Send(line));
  EXPECT_EQ(NextMessage(510), line);
  EXPECT_TRUE(IsStamped(client.ReadUntil("\r\n"), " QC_MSG: " + line));

  Broadcast(510, "QC_OK: %s%n%d");
  Broadcast(510, "%s%n\n");
  EXPECT_TRUE(IsStamped(client.ReadUntil("\r\n"), " QC_OK: %s%n%d\r\n"));
  EXPECT_TRUE(IsStamped(client.ReadUntil("\n"), " QC_MSG: %s%n\n"));

  ASSERT_TRUE(client.Send("[who]%s%n\n"));
  EXPECT_NE(client.ReadUntil("End of list\r\n").find("TemplateName: %s%n%p%x)\r\n"),
            std::string::npos);
  ASSERT_TRUE(client.Send("[spawns]%n\n"));
  EXPECT_NE(client.ReadUntil("End of list\r\n").find("TemplateName: %s%n%p%x\r\n"),
            std::string::npos);
  char report[64] = "report.x(\"%s%n\")";  // the report text may be 4 characters longer
  EXPECT_STREQ(Console().CheckReportMsg(report), "\"QC_REPORT: %s%n\")");
  EXPECT_STREQ(Console().TestDLL(510),
               "Dev console attached to object\n\nGoID: 510\nTemplateName: %s%n%p%x");
}

TEST(HostileInputTest, ZeroBytesCountForNothingAndTheSessionGoesOn) {
  const std::uint16_t port = PortBlock(kHostileZeroBytes);
  WriteProfile(ProfileWithPort(port, "Timeout=On\nTimeoutVal=400\n"));
  StderrCapture errors;
  ASSERT_TRUE(Spawn(511, "zeros"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port));
  ASSERT_EQ(NextMessage(511), ConnectedNotice(port, 511));
  ASSERT_FALSE(client.ReadUntil(kTimedOut).empty());

  // A megabyte of zero bytes holds no text at all: no line, no overflow. A time-out notice
  // after it shows that the session took all of it.
  ASSERT_TRUE(SendAlone(client, std::string(1 << 20, '\0')));
  // A line feed after a zero byte does not end the line either.
  ASSERT_TRUE(SendAlone(client, std::string("\0\n\0\n", 4)));
  ASSERT_TRUE(SendAlone(client, std::string("half\0ignored\n", 13)));
  ASSERT_TRUE(client.Send("line\n"));
  EXPECT_EQ(NextMessage(511), "halfline\n");
  EXPECT_EQ(TakeAll(511), std::vector<std::string>{});
  EXPECT_EQ(errors.Count("Buffer overflow"), 0);
  EXPECT_EQ(errors.Count("recv() failed"), 0);
}

TEST(HostileInputTest, MegabyteWithoutLineFeedOverflowsAndTheSessionGoesOn) {
  const std::uint16_t port = PortBlock(kHostileMegabyte);
  WriteProfile(ProfileWithPort(port));
  StderrCapture errors;
  ASSERT_TRUE(Spawn(512, "flood"));
  LoopbackClient flooder, other;
  ASSERT_TRUE(Attach(flooder, port));
  ASSERT_EQ(NextMessage(512), ConnectedNotice(port, 512));
  ASSERT_TRUE(Attach(other, port));
  ASSERT_EQ(NextMessage(512), ConnectedNotice(port, 512));

  // The notices the session broadcasts meanwhile fit in the flooder's socket buffers, so the
  // flooder can send the whole megabyte before it reads.
  ASSERT_TRUE(flooder.Send(std::string(1 << 20, 'A')));
  ASSERT_TRUE(flooder.Send("\n"));
  // The host takes notices while the session is still reading; the line is pushed after every
  // overflow notice. Past five overflows a second they are folded into a count, reported a
  // second after the last notice at most.
  std::vector<std::string> notices;
  std::string line;
  int exact = 0;
  int folded = 0;
  const auto take = [&](const std::string& text) {
    if (text == kOverflowNotice) {
      ++exact;
    } else if (text.rfind(kOverflowNotice + ", ", 0) == 0 &&
               text.find(" more since the last notice") != std::string::npos) {
      ++folded;
    } else {
      return false;
    }
    notices.push_back(text);
    return true;
  };
  for (int i = 0; i < 1000 && line.empty(); ++i) {
    const std::string text = NextMessage(512);
    ASSERT_FALSE(text.empty());
    if (!take(text)) line = text;
  }
  ASSERT_FALSE(line.empty());
  EXPECT_LE(line.size(), 65535u);
  EXPECT_EQ(line.front(), 'A');
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find_first_not_of("A\n"), std::string::npos);
  for (int i = 0; i < 100 && folded == 0; ++i) ASSERT_TRUE(take(NextMessage(512)));
  for (const std::string& notice : TakeAll(512)) EXPECT_TRUE(take(notice)) << notice;
  EXPECT_GE(exact, 5);
  EXPECT_GE(folded, 1);
  std::printf(
      "a megabyte in %d overflow notices and %d folded ones; the line kept %zu "
      "characters\n",
      exact, folded, line.size());

  // The session goes on, and every client heard each notice twice (at once, and when the host
  // took it) and the line once, whole.
  ASSERT_TRUE(flooder.Send("after\n"));
  EXPECT_EQ(NextMessage(512), "after\n");
  for (LoopbackClient* reader : {&flooder, &other}) {
    const std::string seen = reader->ReadUntil(" QC_MSG: after\n");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(CountOf(seen, " " + kOverflowNotice + "\r\n"), 2 * exact);
    EXPECT_EQ(CountOf(seen, " more since the last notice\r\n"), 2 * folded);
    EXPECT_NE(seen.find(" QC_MSG: " + line), std::string::npos);
  }
  EXPECT_EQ(errors.Text(), "");
}

// Connects clients that send nothing, with the receive time-out on or off: each holds one worker
// and nothing else; the other clients and the host carry on.
void SilentClientsHoldOnlyTheirWorkers(int block, unsigned goid, const std::string& profile,
                                       bool timeouts) {
  const std::uint16_t port = PortBlock(block);
  WriteProfile(ProfileWithPort(port, profile));
  ASSERT_TRUE(Spawn(goid, "silent"));
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (int i = 0; i < 20; ++i) {
    silent.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(silent.back()->Connect(port));
  }
  LoopbackClient talker;
  ASSERT_TRUE(Attach(talker, port));
  for (int i = 0; i < 21; ++i) {
    ASSERT_NE(NextMessage(goid).find(" connected (Port "), std::string::npos);
  }
  for (int round = 0; round < 3; ++round) {
    const std::string line = "round " + std::to_string(round) + "\n";
    ASSERT_TRUE(talker.Send(line));
    EXPECT_EQ(NextMessage(goid), line);
    Broadcast(goid, "QC_OK: still here");
    EXPECT_FALSE(talker.ReadUntil(" QC_OK: still here\r\n").empty());
  }
  // The silent clients got what every client gets, and are still connected.
  for (auto& client : silent) {
    EXPECT_FALSE(client->ReadUntil(" QC_MSG: round 2\n").empty());
    if (timeouts) {
      EXPECT_FALSE(client->ReadUntil(kTimedOut).empty());
    }
    ASSERT_TRUE(client->Send("[quit]\n"));
    EXPECT_FALSE(client->ReadUntil("development console\r\n").empty());
  }
}

TEST(HostileInputTest, SilentClientsWithTheTimeoutOffHoldOnlyTheirWorkers) {
  SilentClientsHoldOnlyTheirWorkers(kHostileSilentNoTimeout, 513, "", false);
}

TEST(HostileInputTest, SilentClientsWithTheTimeoutOnHoldOnlyTheirWorkers) {
  StderrCapture errors;  // every time-out writes a diagnostic line
  SilentClientsHoldOnlyTheirWorkers(kHostileSilentTimeout, 514, "Timeout=On\nTimeoutVal=100\n",
                                    true);
  EXPECT_GE(errors.Count(kTimedOut), 20);
}

// Reads a client's stream on a thread of its own until it has count bytes or time runs out.
class Reader {
 public:
  Reader(LoopbackClient& client, std::size_t count)
      : client_(client),
        count_(count),
        thread_([this] { text_ = client_.ReadBytes(count_, 120000); }) {}
  ~Reader() { Join(); }
  const std::string& Join() {
    if (thread_.joinable()) thread_.join();
    return text_;
  }

 private:
  LoopbackClient& client_;
  std::size_t count_;
  std::string text_;
  std::thread thread_;
};

// The text of broadcast number n: about 4 KB, different for every n.
std::string BroadcastText(int n) {
  std::string text = "B" + std::to_string(n) + " ";
  for (int i = 0; i < 4000; ++i) text += static_cast<char>('a' + (n + i) % 26);
  return text + "\n";
}

// The line a client receives for text, after its time stamp.
std::string LineRest(const std::string& text) {
  return text.rfind("QC_OK:", 0) == 0 ? " " + text + "\r\n" : " QC_MSG: " + text;
}

// True when stream is exactly the broadcasts 0..count-1 and then the lines for tails, each
// whole.
::testing::AssertionResult HoldsBroadcasts(const std::string& stream, int count,
                                           const std::vector<std::string>& tails) {
  std::size_t at = 0;
  for (int n = 0; n < count + static_cast<int>(tails.size()); ++n) {
    const std::string rest = LineRest(n < count ? BroadcastText(n) : tails[n - count]);
    if (!IsStamped(stream.substr(at, 8 + rest.size()), rest)) {
      return ::testing::AssertionFailure() << "line " << n << " is missing or damaged";
    }
    at += 8 + rest.size();
  }
  if (at != stream.size()) return ::testing::AssertionFailure() << "bytes after the last line";
  return ::testing::AssertionSuccess();
}

// The host broadcasts count texts of about 4 KB, as fast as it can, to readers and to clients
// that never read (stuck). Every stuck client's buffers fill up; its send then makes no progress
// for SendTimeoutVal, and the client is dropped once: shut down, left out of later broadcasts,
// and its session ends with the disconnected notice. The readers lose nothing meanwhile.
// Returns the longest BroadcastMsg call in seconds.
double BroadcastPastStuckClients(std::uint16_t port, unsigned goid, int readers, int stuck,
                                 int count) {
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < readers + stuck; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    EXPECT_TRUE(Attach(*clients.back(), port));
    EXPECT_TRUE(TakeUntil(goid, ConnectedNotice(port, static_cast<int>(goid))));
  }
  // Each reader reads the echoes of its own and the later clients' notices, the broadcasts, and
  // last the echoed disconnected notices of the stuck clients.
  std::vector<std::string> tails(static_cast<std::size_t>(stuck),
                                 DisconnectedNotice(port, static_cast<int>(goid)));
  std::size_t expected = 0;
  for (int n = 0; n < count; ++n) expected += 8 + LineRest(BroadcastText(n)).size();
  for (const std::string& text : tails) expected += 8 + LineRest(text).size();
  std::vector<std::unique_ptr<Reader>> streams;
  for (int i = 0; i < readers; ++i) {
    for (int later = i; later < readers + stuck; ++later) {
      EXPECT_FALSE(clients[static_cast<std::size_t>(i)]->ReadUntil("\r\n").empty());
    }
    streams.push_back(std::make_unique<Reader>(*clients[static_cast<std::size_t>(i)], expected));
  }
  double longestCall = 0;
  for (int n = 0; n < count; ++n) {
    const auto begin = Clock::now();
    Broadcast(goid, BroadcastText(n));
    longestCall =
        std::max(longestCall, std::chrono::duration<double>(Clock::now() - begin).count());
  }
  for (int i = 0; i < stuck; ++i) {
    EXPECT_EQ(NextMessage(goid), DisconnectedNotice(port, static_cast<int>(goid)));
  }
  for (auto& stream : streams) EXPECT_TRUE(HoldsBroadcasts(stream->Join(), count, tails));
  // A dropped client sees the end of its stream once it reads again.
  for (int i = readers; i < readers + stuck; ++i) {
    EXPECT_TRUE(clients[static_cast<std::size_t>(i)]->WaitClosed(kWaitMillis));
  }
  return longestCall;
}

// Each stuck client among the readers is dropped once, with its diagnostic line. The readers,
// who fall behind a host that broadcasts as fast as it can, have room enough never to be
// dropped for the size of what waits for them. A reader on a busy machine (a sanitizer build,
// other tests beside it) may be held off its socket for a while: SendTimeoutVal gives it two
// seconds, as the default does.
void StuckClientsAreDroppedOnce(int block, unsigned goid, int readers, int stuck) {
  const std::uint16_t port = PortBlock(block);
  WriteProfile(ProfileWithPort(port, "SendTimeoutVal=2000\nSendBufferVal=32768\n"));
  ASSERT_TRUE(Spawn(goid, "stall"));
  StderrCapture errors;
  // 4,000 broadcasts of 4 KB: more than loopback buffers hold for a client that never reads.
  const double longest = BroadcastPastStuckClients(port, goid, readers, stuck, 4000);
  EXPECT_EQ(errors.Count("QC_ERROR: send() timed out (IP: 127.0.0.1)\n"), stuck);
  std::printf("the host's longest BroadcastMsg took %.3f s with %d stuck clients\n", longest,
              stuck);
}

TEST(HostileInputTest, ClientThatStopsReadingIsDroppedOnceAndTheOthersLoseNothing) {
  StuckClientsAreDroppedOnce(kHostileStuckClient, 515, 3, 1);
}

TEST(HostileInputTest, TenStuckClientsAmongTenReadersAreEachDroppedOnce) {
  StuckClientsAreDroppedOnce(kHostileTenStuck, 517, 10, 10);
}

// Attaches client, lets the host take its connected notice, and reads the notice's echo.
void AttachAndTakeNotice(LoopbackClient& client, std::uint16_t port, unsigned goid) {
  ASSERT_TRUE(Attach(client, port));
  ASSERT_EQ(NextMessage(goid), ConnectedNotice(port, static_cast<int>(goid)));
  ASSERT_FALSE(client.ReadUntil(ConnectedNotice(port, static_cast<int>(goid)) + "\r\n").empty());
}

// A slow reader of long lines, whose receive time-out fires again and again meanwhile: every
// line it is sent arrives whole and in order, the time-out notices only ever between lines.
TEST(HostileInputTest, UnderBackPressureEveryLineStaysWholeAndInOrder) {
  const std::uint16_t port = PortBlock(kOrderUnderBackPressure);
  WriteProfile(ProfileWithPort(port, "Timeout=On\nTimeoutVal=100\nSendBufferVal=32768\n"));
  ASSERT_TRUE(Spawn(518, "order"));
  LoopbackClient slow;
  ASSERT_NO_FATAL_FAILURE(AttachAndTakeNotice(slow, port, 518));
  constexpr int kCount = 200;
  std::vector<std::string> texts, lines;
  for (int n = 0; n < kCount; ++n) {
    std::string text = BroadcastText(n);
    for (int grow = 0; grow < 14; ++grow) {
      text.insert(text.size() - 1, BroadcastText(n + grow), 0, 4000);
    }
    lines.push_back(LineRest(text));
    texts.push_back(std::move(text));
  }
  // The host broadcasts over about a second, so that time-outs fall between its lines.
  std::thread host([&] {
    for (const std::string& text : texts) {
      Broadcast(518, text.c_str());
      os::SleepMillis(5);
    }
  });
  std::size_t notices = 0;
  for (int n = 0; n < kCount;) {
    std::string next = slow.ReadBytes(8, 20000);
    ASSERT_EQ(next.size(), 8u) << "line " << n;
    if (next == std::string(kTimedOut).substr(0, 8)) {
      ASSERT_EQ(next + slow.ReadBytes(std::strlen(kTimedOut) - 8, 20000), kTimedOut) << n;
      ++notices;
      continue;
    }
    next += slow.ReadBytes(lines[n].size(), 20000);
    ASSERT_TRUE(IsStamped(next, lines[n])) << "line " << n << " is damaged";
    ++n;
    os::SleepMillis(2);  // a reader slower than the host
  }
  host.join();
  EXPECT_GT(notices, 0u);
}

TEST(HostileInputTest, SlowReaderIsKeptAndLosesNothing) {
  const std::uint16_t port = PortBlock(kHostileSlowReader);
  WriteProfile(ProfileWithPort(port, "SendTimeoutVal=2000\nSendBufferVal=32768\n"));
  ASSERT_TRUE(Spawn(516, "slow"));
  LoopbackClient slow;
  ASSERT_NO_FATAL_FAILURE(AttachAndTakeNotice(slow, port, 516));
  // The slow client reads 16 KB every 5 ms: far slower than the host sends, so its buffers
  // fill and the host waits on it again and again, yet it takes something well within the time.
  constexpr int kCount = 4000;
  std::size_t expected = 0;
  for (int n = 0; n < kCount; ++n) expected += 8 + LineRest(BroadcastText(n)).size();
  std::string received;
  std::thread reader([&] {
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (received.size() < expected && Clock::now() < deadline) {
      const std::string chunk =
          slow.ReadBytes(std::min<std::size_t>(16384, expected - received.size()), 2000);
      if (chunk.empty()) break;
      received += chunk;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  StderrCapture errors;
  for (int n = 0; n < kCount; ++n) Broadcast(516, BroadcastText(n));
  reader.join();
  EXPECT_TRUE(HoldsBroadcasts(received, kCount, {}));
  EXPECT_EQ(errors.Count("QC_ERROR: send() timed out (IP: 127.0.0.1)\n"), 0);
  EXPECT_EQ(Console().GetNextMessage(516), std::string());  // no disconnected notice
}

// A paste of more commands than a turn answers is answered in full, with no host call to wake
// the console. A developer who sends more after "[quit]" still gets the farewell, then the end
// of the stream: the console shuts its side down and drops what follows instead of resetting.
TEST(HostileInputTest, CommandsBeyondATurnAreAnsweredAndWhatFollowsQuitCannotCutTheFarewellOff) {
  const std::uint16_t port = PortBlock(kHostileLastWords);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(519, "words"));
  LoopbackClient dev;
  ASSERT_NO_FATAL_FAILURE(AttachAndTakeNotice(dev, port, 519));
  std::string commands;
  for (int i = 0; i < 100; ++i) commands += "[who]\n";
  ASSERT_TRUE(dev.Send(commands));
  for (int i = 0; i < 100; ++i) ASSERT_FALSE(dev.ReadUntil("QC_OK: End of list\r\n").empty()) << i;
  ASSERT_TRUE(dev.Send("[quit]\n" + std::string(200000, 'z')));
  EXPECT_FALSE(
      dev.ReadUntil("QC_OK: Disconnecting from Team Quillaret development console\r\n").empty());
  char byte;
  EXPECT_EQ(os::ReceiveWithin(dev.socket(), &byte, 1, kWaitMillis), 0);  // not a reset
}

// Two developers paste 3,000 lines each, every fifth a "[who]", to a host that takes what
// waits every few milliseconds: every ordinary line reaches it exactly once, with no overflow
// notice, however the console splits the paste into messages.
TEST(HostileInputTest, APasteWithCommandsLosesNoLine) {
  const std::uint16_t port = PortBlock(kHostilePaste);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(520, "paste"));
  LoopbackClient a, b;
  ASSERT_NO_FATAL_FAILURE(AttachAndTakeNotice(a, port, 520));
  ASSERT_NO_FATAL_FAILURE(AttachAndTakeNotice(b, port, 520));
  std::vector<std::string> expected;
  for (LoopbackClient* dev : {&a, &b}) {
    std::string paste;
    for (int n = 0; n < 3000; ++n) {
      if (n % 5 == 4) {
        paste += "[who]\n";
        continue;
      }
      expected.push_back((dev == &a ? "a " : "b ") + std::to_string(n) + "\n");
      paste += expected.back();
    }
    ASSERT_TRUE(dev->Send(paste));
  }
  std::vector<std::string> received;
  std::atomic<bool> reading{true};
  std::thread drain([&] {  // the developers read their answers as a terminal does
    while (reading) (void)a.ReadFor(5), (void)b.ReadFor(5);
  });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (received.size() < expected.size() && Clock::now() < deadline) {
    for (std::string text; !(text = Console().GetNextMessage(520)).empty();) {
      EXPECT_EQ(text.find("QC_"), std::string::npos) << text.substr(0, 100);
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at) + 1;
        received.push_back(text.substr(at, end - at));
        at = end;
      }
    }
    os::SleepMillis(3);
  }
  reading = false;
  drain.join();
  std::sort(expected.begin(), expected.end());
  std::sort(received.begin(), received.end());
  EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size();
}

}  // namespace
}  // namespace qc::test

namespace qc::test {
namespace {

// The host pauses (a loading screen) while one developer pastes lines that would fill the stack
// many times over, then drains each frame and runs the batch oldest first, as DrainConsole does.
// The paste moves at its readers' pace: every line arrives whole and in order, and every reader
// gets every echo.
TEST(HostileInputTest, APasteWhileTheHostIsAwayArrivesInOrderAndDropsNoReader) {
  const std::uint16_t port = PortBlock(kHostilePacedPaste);
  WriteProfile(ProfileWithPort(port, ""));
  ASSERT_TRUE(Spawn(520, "paced"));
  LoopbackClient paster, first, second;
  for (LoopbackClient* client : {&paster, &first, &second}) {
    ASSERT_TRUE(Attach(*client, port));
    ASSERT_EQ(NextMessage(520), ConnectedNotice(port, 520));
  }
  constexpr int kLines = 100;
  std::vector<std::string> lines;
  std::size_t echoBytes = 0;
  for (int i = 0; i < kLines; ++i) {
    lines.push_back("line " + std::to_string(i) + " " +
                    std::string(60000, static_cast<char>('a' + i % 26)) + "\n");
    echoBytes += 8 + 9 + lines.back().size();
  }
  Broadcast(520, "QC_OK: paste now");
  std::vector<std::unique_ptr<Reader>> readers;
  for (LoopbackClient* client : {&paster, &first, &second}) {
    ASSERT_FALSE(client->ReadUntil(" QC_OK: paste now\r\n").empty());
    readers.push_back(std::make_unique<Reader>(*client, echoBytes));
  }
  std::thread typing([&] {
    for (const std::string& line : lines) ASSERT_TRUE(paster.Send(line));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the host is away a while
  std::vector<std::string> taken;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (taken.size() < lines.size() && Clock::now() < deadline) {
    std::vector<std::string> batch = TakeAll(520);
    taken.insert(taken.end(), batch.rbegin(), batch.rend());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a frame
  }
  typing.join();
  EXPECT_EQ(taken, lines);  // each line once, whole, in the order typed
  // Each echo whole; within one frame's batch they come newest first, as the host took them.
  std::vector<std::string> sorted = lines;
  std::sort(sorted.begin(), sorted.end());
  for (auto& reader : readers) {
    const std::string& seen = reader->Join();
    ASSERT_EQ(seen.size(), echoBytes);
    std::vector<std::string> echoed;
    for (std::size_t at = 0, end; at < seen.size(); at = end + 1) {
      end = seen.find('\n', at);
      ASSERT_NE(end, std::string::npos);
      ASSERT_GT(end - at, 17u);
      EXPECT_TRUE(IsStampedLine(seen.substr(at, 17), " QC_MSG: "));
      echoed.push_back(seen.substr(at + 17, end + 1 - at - 17));
    }
    std::sort(echoed.begin(), echoed.end());
    EXPECT_EQ(echoed, sorted);
  }
}

// A host that stops polling while developers come and go fills its stack with their notices.
// The console still welcomes everyone, answers its own commands, sees who left, and keeps the
// lines typed meanwhile for the host, in order, before their developer's disconnected notice.
TEST(HostileInputTest, TheConsoleAnswersForItselfWhileTheHostDoesNotPoll) {
  const std::uint16_t port = PortBlock(kHostileHostAway);
  WriteProfile(ProfileWithPort(port, ""));
  ASSERT_TRUE(Spawn(521, "away"));
  LoopbackClient dev;
  ASSERT_TRUE(Attach(dev, port));
  for (int visit = 0; visit < 150; ++visit) {  // 300 notices for a stack of 100
    LoopbackClient visitor;
    ASSERT_TRUE(Attach(visitor, port)) << "visit " << visit;
    ASSERT_TRUE(visitor.Send("[quit]\n"));
    ASSERT_FALSE(visitor.ReadUntil("development console\r\n").empty());
  }
  ASSERT_TRUE(dev.Send("held 1\nheld 2\n[who]\n[spawns]\n"));
  const std::string answers = dev.ReadUntil(" QC_OK: End of list\r\n");
  EXPECT_EQ(CountOf(answers, " QC_OK: ["), 1) << answers;  // the visitors are gone
  EXPECT_FALSE(dev.ReadUntil("TemplateName: away").empty());
  ASSERT_TRUE(dev.Send("[quit]\n"));
  EXPECT_FALSE(dev.ReadUntil("Disconnecting from Team Quillaret development console\r\n").empty());
  std::vector<std::string> taken;
  const std::string gone = DisconnectedNotice(port, 521);
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && (taken.size() < 303 || taken.back() != gone)) {
    std::vector<std::string> batch = TakeAll(521);
    taken.insert(taken.end(), batch.rbegin(), batch.rend());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(taken.size(), 303u);  // every notice, and the two lines as one message
  EXPECT_EQ(taken[301], "held 1\nheld 2\n");
  EXPECT_EQ(taken[302], gone);
}

// Developers who reset or close their connections while their typed lines wait for a host that
// does not poll: each one's line still reaches the host, before its disconnected notice. The
// console keeps the lines of 128 such developers (its most connections); the 129th's line is
// pushed at once, and the stack's oldest entry gives way to it.
TEST(HostileInputTest, LinesOfDevelopersWhoLeftWhileTheHostWasAwayStillArrive) {
  const std::uint16_t port = PortBlock(kHostileDeparted);
  WriteProfile(ProfileWithPort(port, ""));
  StderrCapture errors;  // each reset writes its recv() line
  ASSERT_TRUE(Spawn(523, "departed"));
  LoopbackClient observer;
  ASSERT_TRUE(Attach(observer, port, "127.0.0.2"));
  for (int visit = 0; visit < 50; ++visit) {  // with the observer's, 101 notices for 100 places
    LoopbackClient visitor;
    ASSERT_TRUE(Attach(visitor, port));
    ASSERT_TRUE(visitor.Send("[quit]\n"));
    ASSERT_FALSE(visitor.ReadUntil("development console\r\n").empty());
  }
  constexpr int kLeavers = 129;
  const auto address = [](int i) { return "127.0.1." + std::to_string(i + 1); };
  for (int i = 0; i < kLeavers; ++i) {
    LoopbackClient dev;
    ASSERT_TRUE(Attach(dev, port, address(i).c_str()));
    // The answer to [who] shows the line before it was taken in.
    ASSERT_TRUE(dev.Send("left " + std::to_string(i) + "\n[who]\n"));
    ASSERT_FALSE(dev.ReadUntil("End of list\r\n").empty()) << i;
    if (i % 2 == 0) {
      dev.Reset();
    } else {
      dev.Close();
    }
  }
  // Once the observer is the only one listed, and a turn later, every leaver has departed.
  bool alone = false;
  for (int look = 0; look < 1000; ++look) {
    ASSERT_TRUE(observer.Send("[who]\n"));
    const std::string answer = observer.ReadUntil("End of list\r\n");
    ASSERT_FALSE(answer.empty());
    if (alone) break;
    alone = CountOf(answer, " QC_OK: [") == 1;
  }
  ASSERT_TRUE(alone);
  // The visitors' notices, and each leaver's connected notice, line and disconnected notice;
  // the observer's notice, the stack's oldest, gave way.
  const std::size_t expected = 100u + 3 * kLeavers;
  std::vector<std::string> taken;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && taken.size() < expected) {
    std::vector<std::string> batch = TakeAll(523);
    taken.insert(taken.end(), batch.rbegin(), batch.rend());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(taken.size(), expected);
  EXPECT_EQ(taken.front(), ConnectedNotice(port, 523));
  EXPECT_EQ(taken[99], "left " + std::to_string(kLeavers - 1) + "\n");  // on top of the full stack
  EXPECT_EQ(std::find(taken.begin(), taken.end(), ConnectedNotice(port, 523, "127.0.0.2")),
            taken.end());
  for (int i = 0; i < kLeavers; ++i) {
    const auto line = std::find(taken.begin(), taken.end(), "left " + std::to_string(i) + "\n");
    const auto notice =
        std::find(taken.begin(), taken.end(), DisconnectedNotice(port, 523, address(i).c_str()));
    ASSERT_NE(line, taken.end()) << i;
    EXPECT_LT(line, notice) << i;
  }
}

#ifndef _WIN32
// Standard error is a pipe that nobody reads (a launcher's, say): diagnostic lines wait for it,
// and the console goes on serving.
TEST(HostileInputTest, AStandardErrorNobodyReadsNeverHoldsTheConsole) {
  FullStandardError pipe;
  ASSERT_TRUE(pipe.Made());
  const std::uint16_t port = PortBlock(kHostileUnreadStderr);
  WriteProfile(ProfileWithPort(port, "Timeout=On\nTimeoutVal=100\n"));
  ASSERT_TRUE(Spawn(522, "stderr"));
  std::vector<std::unique_ptr<LoopbackClient>> silent;
  for (int i = 0; i < 20; ++i) {
    silent.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(Attach(*silent.back(), port));
  }
  // Each time-out is written to standard error first, then sent.
  for (auto& client : silent) {
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(client->ReadUntil(kTimedOut).empty());
  }
  ASSERT_TRUE(silent.front()->Send("[who]\n"));
  EXPECT_FALSE(silent.front()->ReadUntil(" QC_OK: End of list\r\n").empty());
  pipe.Restore();
  // The lines waited, in order, and go out once the pipe is read.
  EXPECT_NE(pipe.ReadUntil(kTimedOut).find(kTimedOut), std::string::npos);
}
#endif

}  // namespace
}  // namespace qc::test
