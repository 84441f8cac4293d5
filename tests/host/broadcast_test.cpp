// The system-notice rule, the broadcast line format, and the send-to-everyone loop over real
// loopback sockets placed in a server's client list.
#include "net/broadcast.h"
#include "net/limits.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/locks.h"
#include "net/client.h"
#include "server/console_server.h"
#include "support/queued_output.h"
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

// A server record as the registry makes one, outside the registry, with listed clients that
// have no sockets: what the console's loop would send each is read from its output queue.
class SendToAllClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = qc::NewConsoleServer(0, "");
    ASSERT_NE(server_, nullptr);
    keptServer = server_;  // never freed, as every server
  }
  void TearDown() override {
    for (qc::ClientState* client : clients_) qc::DeleteClientState(client);
    std::free(batch_.Blocks);
  }
  void Connect(int count) {
    for (int i = 0; i < count; ++i) {
      clients_.push_back(qc::NewClientState(static_cast<qc::Socket>(100 + clients_.size())));
      ASSERT_TRUE(qc::AddClient(*server_, clients_.back()->Connection, clients_.back()));
    }
  }
  // Hands the inbox out as the loop does, and takes what each client got.
  std::vector<std::string> Delivered() {
    {
      qc::MutexHold hold(server_->StateLock);
      qc::TakeInbox(*server_, batch_);
    }
    qc::DistributeInbox(*server_, batch_);
    std::vector<std::string> received;
    for (qc::ClientState* client : clients_)
      received.push_back(qc::test::TakeQueued(client->Output.Queue));
    return received;
  }
  qc::ConsoleServer* server_ = nullptr;
  std::vector<qc::ClientState*> clients_;
  qc::InboxBatch batch_{};
};

TEST_F(SendToAllClientsTest, QueuesEveryClientEachLineOnceWithOneStampAndNothingForAnEmptyText) {
  ASSERT_NO_FATAL_FAILURE(Connect(3));
  qc::SendToAllClients(*server_, "[this].Kill()\n");
  qc::SendToAllClients(*server_, "");
  qc::SendToAllClients(*server_, "QC_ERROR: Timeout");
  ASSERT_EQ(server_->InboxCount, 2);
  EXPECT_EQ(server_->Inbox[0]->References, 1);  // one line, held once however many clients
  const std::vector<std::string> received = Delivered();
  for (const std::string& bytes : received) {
    EXPECT_EQ(bytes, received[0]);  // the same stamps for every client
    ASSERT_EQ(bytes.size(), 8 + 23 + 8 + 20u);
    EXPECT_EQ(AfterStamp(bytes.substr(0, 31)), " QC_MSG: [this].Kill()\n");
    EXPECT_EQ(AfterStamp(bytes.substr(31)), " QC_ERROR: Timeout\r\n");
  }
}

TEST_F(SendToAllClientsTest, LongTextsAreQueuedWhole) {
  ASSERT_NO_FATAL_FAILURE(Connect(2));
  std::string ordinary(100000, ' ');
  for (std::size_t i = 0; i < ordinary.size(); ++i) ordinary[i] = static_cast<char>('!' + i % 90);
  ordinary.replace(50000, 4, "\r\n%s");
  const std::string notice = "QC_ERROR: " + ordinary.substr(10);
  qc::SendToAllClients(*server_, ordinary.c_str());
  qc::SendToAllClients(*server_, notice.c_str());
  for (const std::string& bytes : Delivered()) {
    ASSERT_EQ(bytes.size(), 8 + 9 + ordinary.size() + 8 + 1 + notice.size() + 2);
    EXPECT_TRUE(AfterStamp(bytes.substr(0, 8 + 9 + ordinary.size())) == " QC_MSG: " + ordinary);
    EXPECT_TRUE(AfterStamp(bytes.substr(8 + 9 + ordinary.size())) == " " + notice + "\r\n");
  }
}

TEST_F(SendToAllClientsTest, OnlyLinesPastTheHardLimitMarkClientsAndThenEveryListedOne) {
  ASSERT_NO_FATAL_FAILURE(Connect(3));
  server_->SendBufferBytes = 128 * 1024;
  // Client 1 still holds 100 KB that it has not taken: passing the soft limit by a line is no
  // reason to drop it (the loop judges how long it stays past it).
  ASSERT_TRUE(qc::QueueBytes(clients_[1]->Output.Queue, std::string(100000, 'x').data(), 100000));
  const std::string text(40000, 't');
  qc::SendToAllClients(*server_, text.c_str());
  const std::vector<std::string> received = Delivered();
  for (qc::ClientState* client : clients_) EXPECT_EQ(client->Output.Drop, qc::ClientDrop::kNone);
  EXPECT_EQ(received[0].size(), 8 + 9 + text.size());
  EXPECT_EQ(received[1].size(), 100000 + received[0].size());
  // The inbox holds up to the hard limit (four times the soft one and a whole stack's echo); a
  // line past that marks every listed client, none of which has sent any of it.
  const auto fit = static_cast<int>(qc::HardOutputLimit(*server_) / received[0].size());
  for (int i = 0; i < fit; ++i) qc::SendToAllClients(*server_, text.c_str());
  EXPECT_FALSE(server_->InboxOverrun);
  qc::SendToAllClients(*server_, text.c_str());
  EXPECT_LE(server_->InboxBytes.load(), qc::HardOutputLimit(*server_));
  EXPECT_TRUE(server_->InboxOverrun);
  (void)Delivered();
  for (qc::ClientState* client : clients_)
    EXPECT_EQ(client->Output.Drop, qc::ClientDrop::kBufferFull);
}

}  // namespace
