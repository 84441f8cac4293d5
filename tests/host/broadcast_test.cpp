// The system-notice rule, the broadcast line format, and the send-to-everyone loop over real
// loopback sockets placed in a server's client list.
#include "net/broadcast.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "server/console_server.h"
#include "support/test_support.h"
#include "support/ports.h"
#include "support/models.h"

namespace {

using qc::test::SocketPair;

TEST(IsSystemNoticeTest, MatchesTheThreePrefixesExactly) {
  const struct {
    const char* text;
    bool expected;
  } cases[] = {
      {"QC_OK:", true},
      {"QC_OK: 127.0.0.1 connected (Port 30000, GoID: 42)", true},
      {"QC_ERROR:", true},
      {"QC_ERROR: bind() failed\n", true},
      {"QC_REPORT: hello\")", true},
      {"QC_OK", false},
      {"QC_ERROR", false},
      {"QC_REPORT", false},
      {"QC_OK;", false},
      {" QC_OK: x", false},
      {"qc_ok: x", false},
      {"Qc_Error: x", false},
      {"\"QC_REPORT: x", false},
      {"QC_MSG: x", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(qc::IsSystemNotice(c.text), c.expected) << '"' << c.text << '"';
}

// Checks that line starts with an "HH:MM:SS" stamp and returns what follows it.
std::string AfterStamp(const std::string& line) {
  const std::string rest = line.size() >= 8 ? line.substr(8) : "";
  EXPECT_TRUE(qc::test::IsStampedLine(line, rest)) << "no time stamp: " << line.substr(0, 8);
  return rest;
}

TEST(FormatBroadcastLineTest, BuildsTheLineByteForByte) {
  const struct {
    std::string text;
    std::string expectedAfterStamp;
  } cases[] = {
      {"QC_OK: 10.0.0.1 connected (Port -1, GoID: 42)",
       " QC_OK: 10.0.0.1 connected (Port -1, GoID: 42)\r\n"},
      {"QC_ERROR:", " QC_ERROR:\r\n"},
      {"[this].Kill()\n", " QC_MSG: [this].Kill()\n"},
      {"no line end", " QC_MSG: no line end"},
      {"%s%n%x\r\n", " QC_MSG: %s%n%x\r\n"},
      {" QC_OK: indented", " QC_MSG:  QC_OK: indented"},
  };
  for (const auto& c : cases) {
    std::vector<char> line(qc::kTextBytes, '#');
    const std::size_t length =
        qc::FormatBroadcastLine(c.text.c_str(), c.text.size(), line.data(), line.size());
    ASSERT_EQ(length, 8 + c.expectedAfterStamp.size()) << c.text;
    EXPECT_EQ(line[length], '\0');
    EXPECT_EQ(AfterStamp(std::string(line.data(), length)), c.expectedAfterStamp);
  }
}

TEST(FormatBroadcastLineTest, BuildsOnlyLinesThatFitTheBuffer) {
  const struct {
    std::string text;
    std::size_t expectedLength;  // 0: too long, nothing written
  } cases[] = {
      {"QC_OK:" + std::string(65524 - 6, 'n'), 65535},  // 8 + 1 + 65,524 + 2
      {"QC_OK:" + std::string(65525 - 6, 'n'), 0},
      {std::string(65518, 'm'), 65535},  // 8 + 9 + 65,518
      {std::string(65519, 'm'), 0},
  };
  for (const auto& c : cases) {
    std::vector<char> line(qc::kTextBytes + 16, '#');
    EXPECT_EQ(qc::FormatBroadcastLine(c.text.c_str(), c.text.size(), line.data(), qc::kTextBytes),
              c.expectedLength)
        << c.text.size();
    const std::size_t untouchedFrom = c.expectedLength == 0 ? 0 : qc::kTextBytes;
    for (std::size_t i = untouchedFrom; i < line.size(); ++i) ASSERT_EQ(line[i], '#') << i;
  }
}

qc::ConsoleServer* keptServer = nullptr;

// A server record as the registry makes one, outside the registry: its state lock and a
// client list holding the server sides of real loopback connections.
class SendToAllClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = qc::NewConsoleServer(0, "");
    ASSERT_NE(server_, nullptr);
    keptServer = server_;  // never freed, as every server
  }
  void TearDown() override {
    for (SocketPair& pair : pairs_) {
      qc::test::CloseSocket(pair.client);
      qc::test::CloseSocket(pair.server);
    }
  }
  // Connects count clients on ports of block n and lists their server sides.
  void Connect(int n, int count) {
    for (int i = 0; i < count; ++i) {
      const SocketPair pair = qc::test::MakeSocketPair(
          static_cast<std::uint16_t>(qc::test::PortBlock(n) + pairs_.size()));
      ASSERT_GE(pair.server, 0);
      ASSERT_GE(pair.client, 0);
      pairs_.push_back(pair);
      server_->ClientList[server_->ClientCount++] = pair.server;
    }
  }
  // Broadcasts text on another thread while reading expectedBytes from each listed client in
  // list order, so that a long text never waits on a full socket buffer.
  std::vector<std::string> Broadcast(const std::string& text, std::size_t expectedBytes,
                                     const std::vector<int>& readers) {
    std::thread sender([&] { qc::SendToAllClients(*server_, text.c_str()); });
    std::vector<std::string> received;
    bool complete = true;
    for (int index : readers) {
      // After one client came up short, the others are not waited for.
      received.push_back(complete ? qc::test::ReceiveBytes(pairs_[index].client, expectedBytes)
                                  : std::string());
      complete = complete && received.back().size() == expectedBytes;
    }
    if (!complete) {  // a sender stuck on a client that is not read must still end
      for (SocketPair& pair : pairs_) {
        if (pair.client >= 0) qc::test::os::ResetAndClose(pair.client);
        pair.client = -1;
      }
    }
    sender.join();
    return received;
  }
  qc::ConsoleServer* server_ = nullptr;
  std::vector<SocketPair> pairs_;
};

TEST_F(SendToAllClientsTest, SendsEveryClientEachLineAndNothingForAnEmptyText) {
  ASSERT_NO_FATAL_FAILURE(Connect(qc::test::kSendToAllEachLine, 2));
  // The line format itself is FormatBroadcastLine's. Here the lines are read back to back, each
  // exactly as long as it should be, so nothing may come between them: not even a time stamp
  // for the empty text.
  qc::SendToAllClients(*server_, "[this].Kill()\n");
  qc::SendToAllClients(*server_, "");
  qc::SendToAllClients(*server_, "QC_ERROR: Timeout");
  const std::string expected[] = {" QC_MSG: [this].Kill()\n", " QC_ERROR: Timeout\r\n"};
  for (const SocketPair& pair : pairs_) {
    for (const std::string& line : expected) {
      EXPECT_EQ(AfterStamp(qc::test::ReceiveBytes(pair.client, 8 + line.size())), line);
    }
  }
}

TEST_F(SendToAllClientsTest, LongTextsReachEveryClientWhole) {
  ASSERT_NO_FATAL_FAILURE(Connect(qc::test::kSendToAllLongTexts, 3));
  std::string ordinary(100000, ' ');
  for (std::size_t i = 0; i < ordinary.size(); ++i) ordinary[i] = static_cast<char>('!' + i % 90);
  ordinary.replace(50000, 4, "\r\n%s");
  const std::string notice = "QC_ERROR: " + ordinary.substr(10);

  for (const std::string& line : Broadcast(ordinary, 8 + 9 + ordinary.size(), {0, 1, 2})) {
    ASSERT_EQ(line.size(), 8 + 9 + ordinary.size());
    EXPECT_TRUE(AfterStamp(line) == " QC_MSG: " + ordinary) << "ordinary line differs";
  }
  for (const std::string& line : Broadcast(notice, 8 + 1 + notice.size() + 2, {0, 1, 2})) {
    ASSERT_EQ(line.size(), 8 + 1 + notice.size() + 2);
    EXPECT_TRUE(AfterStamp(line) == " " + notice + "\r\n") << "notice differs";
  }
  // Nothing more follows: the next line starts right after.
  qc::SendToAllClients(*server_, "QC_OK: end");
  for (const SocketPair& pair : pairs_) {
    EXPECT_EQ(AfterStamp(qc::test::ReceiveBytes(pair.client, 8 + 13)), " QC_OK: end\r\n");
  }
}

TEST_F(SendToAllClientsTest, APeerThatResetDoesNotStopTheOthers) {
  ASSERT_NO_FATAL_FAILURE(Connect(qc::test::kSendToAllReset, 4));
  // Client 0 resets; client 1 closes in order (the first send to it succeeds, later ones fail
  // and, without care, would raise SIGPIPE). Both stay listed, ahead of the live clients.
  qc::test::os::ResetAndClose(pairs_[0].client);
  pairs_[0].client = -1;
  qc::test::CloseSocket(pairs_[1].client);
  pairs_[1].client = -1;
  char byte;
  ASSERT_EQ(qc::test::os::ReceiveWithin(pairs_[0].server, &byte, 1, qc::test::kWaitMillis), -1)
      << "the reset did not arrive";
  ASSERT_EQ(qc::test::os::ReceiveWithin(pairs_[1].server, &byte, 1, qc::test::kWaitMillis), 0)
      << "the close did not arrive";

  const std::string first = "QC_OK: first";
  qc::SendToAllClients(*server_, first.c_str());
  for (int live : {2, 3}) {
    ASSERT_EQ(AfterStamp(qc::test::ReceiveBytes(pairs_[live].client, 8 + 1 + first.size() + 2)),
              " " + first + "\r\n");
  }
  const std::string longText(100000, 'L');
  for (const std::string& line : Broadcast(longText, 8 + 9 + longText.size(), {2, 3})) {
    ASSERT_TRUE(AfterStamp(line) == " QC_MSG: " + longText)
        << "long line differs, " << line.size() << " bytes";
  }
  const std::string last = "last\n";
  qc::SendToAllClients(*server_, last.c_str());
  for (int live : {2, 3}) {
    EXPECT_EQ(AfterStamp(qc::test::ReceiveBytes(pairs_[live].client, 8 + 9 + last.size())),
              " QC_MSG: " + last);
  }
  EXPECT_EQ(server_->ClientCount, 4) << "a failed send does not remove a client";
}

}  // namespace
