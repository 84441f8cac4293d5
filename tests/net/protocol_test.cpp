// The console protocol without sockets: telnet command removal, line assembly, command
// matching, the pending stack and the client list, and whole sessions fed bytes and read back
// from their output queues.
#include "net/protocol.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/locks.h"
#include "net/client.h"
#include "net/telnet.h"

namespace qc {
namespace {

using namespace std::string_literals;

// The telnet filter fed piece by piece, as a session receives them.
struct Telnet {
  TelnetState state{};
  std::string replies;
  std::string Filter(std::string piece) {
    piece.push_back('?');  // the room a held-back 0xFF may need
    const auto collect = [](void* to, const char* bytes, std::size_t n) {
      static_cast<std::string*>(to)->append(bytes, n);
    };
    piece.resize(FilterTelnet(state, &piece[0], piece.size() - 1, collect, &replies));
    return piece;
  }
};

TEST(FilterTelnetTest, RefusesPuttysRequestsOnceEachAndAnswersNothingElse) {
  Telnet t;
  // plink -telnet at connect: WILL NAWS, TSPEED, TTYPE, NEW-ENVIRON, DO ECHO, WILL SGA, DO SGA.
  EXPECT_EQ(t.Filter("\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x18\xff\xfb\x27\xff\xfd\x01\xff\xfb\x03"
                     "\xff\xfd\x03[who]\r\n"),
            "[who]\r\n");
  EXPECT_EQ(t.replies, "\xff\xfe\x1f\xff\xfe\x20\xff\xfe\x18\xff\xfe\x27\xff\xfc\x01\xff\xfe\x03"
                       "\xff\xfc\x03");
  t.replies.clear();
  // WONT, DONT, the commands without option and a subnegotiation are taken out unanswered.
  EXPECT_EQ(t.Filter("a\xff\xfc\x01"s + "b\xff\xfe\x03" + "c\xff\xf1\xff\xf4\xff\xf0" +
                     "d\xff\xfa\x18\x00xterm\xff\xff\xff\xf0"s + "e"),
            "abcde");
  EXPECT_EQ(t.replies, "");
}

TEST(FilterTelnetTest, CommandsSplitAcrossPiecesGoAndA0xFFBeforeAnyOtherByteStays) {
  Telnet t;
  const char* pieces[][2] = {
      {"ab\xff", "ab"}, {"\xfb", ""}, {"\x18" "c\xff", "c"}, {"\xff" "d\xff\xfa", "\xff" "d"},
      {"\x1f\x50\xff", ""}, {"\xf0" "e\xff", "e"}, {"\xfd\x01\xff\x41 \xff\n", "\xff\x41 \xff\n"},
      {"x\xff", "x"}, {"\xef" "y", "\xff\xef" "y"}};  // a held-back 0xFF comes out in front
  for (const auto& piece : pieces) EXPECT_EQ(t.Filter(piece[0]), piece[1]) << piece[0];
  EXPECT_EQ(t.replies, "\xff\xfe\x18\xff\xfc\x01");
}

struct Assembler {
  std::unique_ptr<LineAssembler> line{new LineAssembler{}};
  ~Assembler() { ReleaseLine(*line); }
  PieceOutcome Add(const std::string& piece) { return AddPiece(*line, piece.data(), piece.size()); }
  std::string Text() const { return std::string(line->Text, line->Length); }
};

TEST(AddPieceTest, JoinsPiecesUntilOneHoldsALineFeed) {
  Assembler a;
  PieceOutcome o = a.Add("[this].Ki");
  EXPECT_FALSE(o.Complete);
  o = a.Add("ll()\r\nrest");  // text after the line feed stays in the line
  EXPECT_TRUE(o.Complete);
  EXPECT_FALSE(o.Overflowed);
  EXPECT_EQ(a.Text(), "[this].Kill()\r\nrest");
  EXPECT_EQ(std::strlen(a.line->Text), a.line->Length);
}

TEST(AddPieceTest, BytesAfterAZeroByteDoNotCount) {
  Assembler a;
  EXPECT_FALSE(a.Add(std::string("abc\0def\n", 8)).Complete);
  EXPECT_EQ(a.Text(), "abc");
  EXPECT_TRUE(a.Add(std::string("x\n\0y", 4)).Complete);
  EXPECT_EQ(a.Text(), "abcx\n");
}

TEST(AddPieceTest, OverflowBoundaryAndRepeatedOverflow) {
  Assembler a;
  EXPECT_FALSE(a.Add(std::string(65000, 'a')).Overflowed);
  const PieceOutcome fits = a.Add(std::string(535, 'b'));  // L + C = 65,535
  EXPECT_FALSE(fits.Overflowed);
  EXPECT_EQ(a.line->Length, 65535u);

  // Every further non-empty piece overflows; the line holds 65,534 characters and a line feed.
  for (int i = 0; i < 3; ++i) {
    const PieceOutcome o = a.Add("c");
    EXPECT_TRUE(o.Overflowed);
    EXPECT_FALSE(o.Complete);
    EXPECT_EQ(a.line->Length, 65535u);
    EXPECT_EQ(a.line->Text[65534], '\n');
    EXPECT_EQ(a.line->Text[65533], 'b');
  }
  const PieceOutcome end = a.Add("d\n");  // dropped as well, but it completes the line
  EXPECT_TRUE(end.Overflowed);
  EXPECT_TRUE(end.Complete);
  EXPECT_EQ(a.Text(), std::string(65000, 'a') + std::string(534, 'b') + "\n");
}

TEST(AddPieceTest, PieceThatDoesNotFitIsLostAndTheShortLineEndsInALineFeed) {
  Assembler a;
  a.Add("short");
  const PieceOutcome o = a.Add(std::string(65531, 'z') + "\n");  // 5 + 65,532 > 65,535
  EXPECT_TRUE(o.Overflowed);
  EXPECT_TRUE(o.Complete);
  EXPECT_EQ(a.Text(), "short\n");

  Assembler b;
  b.Add("short");
  EXPECT_TRUE(b.Add(std::string(65531, 'z')).Overflowed);  // no line feed: the line goes on
  EXPECT_FALSE(b.Add("more\n").Overflowed);
  EXPECT_EQ(b.Text(), "short\nmore\n");
}

TEST(MatchCommandTest, MatchesAtTheStartCaseSensitively) {
  const struct {
    const char* line;
    LineCommand command;
  } cases[] = {
      {"[quit]\r\n", LineCommand::kQuit},     {"[quit] now\n", LineCommand::kQuit},
      {"[who]\n", LineCommand::kWho},         {"[spawns]x\n", LineCommand::kSpawns},
      {" [quit]\n", LineCommand::kNone},      {"[QUIT]\n", LineCommand::kNone},
      {"[spawn]\n", LineCommand::kNone},      {"[wh", LineCommand::kNone},
      {"\n", LineCommand::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchCommand(c.line), c.command) << c.line;
}

// A server record as a spawn makes it, without threads or sockets.
struct BareServer {
  ConsoleServer* server = NewConsoleServer(0, "");
  ~BareServer() { DeleteConsoleServer(server); }
};

TEST(PendingMessagesTest, PopsNewestFirstAndAFullStackDropsItsOldest) {
  BareServer bare;
  ConsoleServer& s = *bare.server;
  char out[kTextBytes];
  for (int i = 0; i < kMaxPending + 5; ++i) PushPending(s, ("text " + std::to_string(i)).c_str());
  EXPECT_EQ(s.PendingCount.load(), kMaxPending);
  for (int i = kMaxPending + 4; i >= 5; --i) {
    PopPending(s, out);
    EXPECT_EQ(std::string(out), "text " + std::to_string(i));
  }
  EXPECT_EQ(s.PendingCount.load(), 0);
  PushPending(s, "again");  // the ring goes on working from wherever its base stands
  PushPending(s, "");
  PopPending(s, out);
  EXPECT_STREQ(out, "");
  PopPending(s, out);
  EXPECT_STREQ(out, "again");
}

TEST(RemoveClientTest, MovesTheLastEntryIntoTheGap) {
  BareServer bare;
  ConsoleServer& s = *bare.server;
  for (Socket socket : {10, 11, 12, 13}) s.ClientList[s.ClientCount++] = socket;
  RemoveClient(s, 11);
  ASSERT_EQ(s.ClientCount, 3);
  EXPECT_EQ(s.ClientList[0], 10);
  EXPECT_EQ(s.ClientList[1], 13);
  EXPECT_EQ(s.ClientList[2], 12);
  RemoveClient(s, 99);
  EXPECT_EQ(s.ClientCount, 3);
  RemoveClient(s, 12);
  RemoveClient(s, 10);
  RemoveClient(s, 13);
  EXPECT_EQ(s.ClientCount, 0);
}

}  // namespace
}  // namespace qc
