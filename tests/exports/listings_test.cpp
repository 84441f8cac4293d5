// "[who]" and "[spawns]" as developers see them.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <vector>

#include "exports/host_fixture.h"
#include "support/ports.h"

namespace qc::test {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t begin = 0; begin < text.size();) {
    const std::size_t end = text.find("\r\n", begin);
    if (end == std::string::npos) {
      lines.push_back(text.substr(begin));
      break;
    }
    lines.push_back(text.substr(begin, end + 2 - begin));
    begin = end + 2;
  }
  return lines;
}

std::string Row(int number, const std::string& fields) {
  std::ostringstream row;
  row << " QC_OK: [" << (number < 10 ? "0" : "") << number << "]\t" << fields << "\r\n";
  return row.str();
}

TEST(ClientListingTest, LoneClientSeesHeaderItsOwnRowAndEndAndNothingIsPushed) {
  const std::uint16_t port = PortBlock(kClientListingLone);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(4294967295u, "lonely goblin"));
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, port, "127.200.1.255"));
  ASSERT_TRUE(client.Send("[who]\r\n"));
  const std::vector<std::string> lines = SplitLines(client.ReadUntil("End of list\r\n"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(
      IsStamped(lines[0], " QC_OK: Currently connected clients (Port: " + std::to_string(port) +
                              ", GoID: -1, TemplateName: lonely goblin)\r\n"));
  EXPECT_TRUE(IsStamped(lines[1], Row(1, "127.200.1.255")));
  EXPECT_TRUE(IsStamped(lines[2], " QC_OK: End of list\r\n"));
  EXPECT_EQ(NextMessage(4294967295u), ConnectedNotice(port, -1, "127.200.1.255"));
  EXPECT_STREQ(Console().GetNextMessage(4294967295u), "");
}

TEST(ClientListingTest, RowsCountPastNineAndALeaverIsReplacedByTheNewest) {
  const std::uint16_t port = PortBlock(kClientListingRows);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(50, "crowd"));
  // Each client connects from its own loopback address, so rows can be told apart; each waits
  // for the host to take its notice, so the list is in connection order.
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  std::vector<std::string> addresses;
  for (int i = 1; i <= 12; ++i) {
    addresses.push_back("127.0.0." + std::to_string(i + 1));
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(Attach(*clients.back(), port, addresses.back().c_str()));
    ASSERT_EQ(NextMessage(50), ConnectedNotice(port, 50, addresses.back().c_str()));
  }
  LoopbackClient& asker = *clients.back();
  ASSERT_TRUE(asker.Send("[who]\n"));
  std::vector<std::string> lines = SplitLines(asker.ReadUntil("End of list\r\n"));
  while (!lines.empty() && lines.front().find("Currently connected") == std::string::npos) {
    lines.erase(lines.begin());  // echoes of later clients' notices
  }
  ASSERT_EQ(lines.size(), 14u);
  for (int i = 1; i <= 12; ++i) EXPECT_TRUE(IsStamped(lines[i], Row(i, addresses[i - 1])));

  // The third client leaves: the last one appended takes its row.
  ASSERT_TRUE(clients[2]->Send("[quit]\n"));
  ASSERT_EQ(NextMessage(50), DisconnectedNotice(port, 50, addresses[2].c_str()));
  ASSERT_TRUE(asker.Send("[who]\n"));
  lines = SplitLines(asker.ReadUntil("End of list\r\n"));
  while (!lines.empty() && lines.front().find("Currently connected") == std::string::npos) {
    lines.erase(lines.begin());
  }
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_TRUE(IsStamped(lines[3], Row(3, addresses[11])));
  EXPECT_TRUE(IsStamped(lines[11], Row(11, addresses[10])));
}

TEST(ServerListingTest, ListsEveryServerInSpawnOrderWithSignedPortsAndGoIDs) {
  // A base port above 32767: ports are printed as signed 16-bit values. It lies above Linux's
  // range of ephemeral ports (32768-60999), where a client socket could hold it.
  const std::uint16_t port = PortBlock(kServerListingSignedPorts);
  WriteProfile(ProfileWithPort(port));
  ASSERT_TRUE(Spawn(1, "goblin"));
  ASSERT_TRUE(Spawn(4294967295u, "chest"));
  ASSERT_TRUE(Spawn(3, std::string(1500, 'n').c_str()));  // cut to 1,023 characters
  LoopbackClient client;
  ASSERT_TRUE(Attach(client, static_cast<std::uint16_t>(port + 1)));
  ASSERT_TRUE(client.Send("[spawns]\r\n"));
  const std::vector<std::string> lines = SplitLines(client.ReadUntil("End of list\r\n"));
  ASSERT_EQ(lines.size(), 5u);
  const int shown = static_cast<std::int16_t>(port);
  EXPECT_TRUE(IsStamped(lines[0], " QC_OK: Currently spawned servers\r\n"));
  EXPECT_TRUE(IsStamped(
      lines[1], Row(1, "Port: " + std::to_string(shown) + ", GoID: 1, TemplateName: goblin")));
  EXPECT_TRUE(IsStamped(
      lines[2], Row(2, "Port: " + std::to_string(shown + 1) + ", GoID: -1, TemplateName: chest")));
  EXPECT_TRUE(
      IsStamped(lines[3], Row(3, "Port: " + std::to_string(shown + 2) +
                                     ", GoID: 3, TemplateName: " + std::string(1023, 'n'))));
  EXPECT_TRUE(IsStamped(lines[4], " QC_OK: End of list\r\n"));
  EXPECT_LT(shown, 0);
  EXPECT_EQ(NextMessage(4294967295u), ConnectedNotice(shown + 1, -1));
  EXPECT_STREQ(Console().GetNextMessage(4294967295u), "");
}

}  // namespace
}  // namespace qc::test
