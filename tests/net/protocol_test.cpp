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
#include <vector>

#include "common/locks.h"
#include "net/client.h"
#include "net/notices.h"
#include "net/password_gate.h"
#include "net/telnet.h"
#include "support/queued_output.h"

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
  EXPECT_EQ(t.replies,
            "\xff\xfe\x1f\xff\xfe\x20\xff\xfe\x18\xff\xfe\x27\xff\xfc\x01\xff\xfe\x03"
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
  const char* pieces[][2] = {{"ab\xff", "ab"},
                             {"\xfb", ""},
                             {"\x18"
                              "c\xff",
                              "c"},
                             {"\xff"
                              "d\xff\xfa",
                              "\xff"
                              "d"},
                             {"\x1f\x50\xff", ""},
                             {"\xf0"
                              "e\xff",
                              "e"},
                             {"\xfd\x01\xff\x41 \xff\n", "\xff\x41 \xff\n"},
                             {"x\xff", "x"},
                             {"\xef"
                              "y",
                              "\xff\xef"
                              "y"}};  // a held-back 0xFF comes out in front
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
      {"[quit]\r\n", LineCommand::kQuit}, {"[quit] now\n", LineCommand::kQuit},
      {"[who]\n", LineCommand::kWho},     {"[spawns]x\n", LineCommand::kSpawns},
      {" [quit]\n", LineCommand::kNone},  {"[QUIT]\n", LineCommand::kNone},
      {"[spawn]\n", LineCommand::kNone},  {"[wh", LineCommand::kNone},
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

// A console without a loop or sockets: sessions are fed bytes, on a clock the test moves, and
// what they would send is read back from their queues.
class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(PasswordGateLock(), nullptr);  // as the first spawn makes it
    server_ = NewConsoleServer(9, "proto");
    server_->Port = 30100;
  }
  void TearDown() override {
    for (ClientState* client : clients_) DeleteClientState(client);
    std::free(batch_.Blocks);
    for (int b = 0; b < server_->InboxCount; ++b) ReleaseBlock(server_->Inbox[b]);
    std::free(server_->Inbox);
    DeleteConsoleServer(server_);
  }
  SessionContext Context() {
    return {server_,         now_,
            scratch_.get(),  &batch_,
            clients_.data(), static_cast<int>(clients_.size()),
            &gate_,          notices_.get()};
  }
  ClientState* Connect(const char* address) {
    clients_.push_back(NewClientState(static_cast<Socket>(-1)));
    CopyText(clients_.back()->Address, kAddressTextBytes, address);
    SessionContext context = Context();
    BeginSession(context, *clients_.back());
    return clients_.back();
  }
  void Type(ClientState* client, std::string bytes) {
    bytes.push_back('\0');
    SessionContext context = Context();
    client->Input.CommandsLeft = kCommandsPerTurn;  // a turn of the loop
    TakeInput(context, *client, &bytes[0], bytes.size() - 1);
  }
  // Moves the clock on and runs what falls due, as the loop does each turn: waiting notices,
  // the gate, each client's timers and the lines it left for later turns (a departed one's
  // followed by its disconnected notice).
  void Tick(std::int64_t millis) {
    now_ += millis;
    SessionContext context = Context();
    PushWaitingNotices(context);
    RunPasswordGate(context);
    for (ClientState* client : clients_) {
      client->Input.CommandsLeft = kCommandsPerTurn;
      RunTimers(context, *client);
      if (client->Departed) {
        PushDepartedLines(context, *client, false);
      } else {
        RunInputLines(context, *client);
      }
    }
  }
  // Turns of the loop (at most 100), each followed by the host taking everything, until the
  // client has no ready lines left; what the host took, oldest first.
  std::vector<std::string> TurnsUntilHandled(ClientState* client) {
    std::vector<std::string> taken = Pushed();
    for (int turn = 0; turn < 100 && client->Input.Line.Ready > 0; ++turn) {
      Tick(0);
      for (std::string& text : Pushed()) taken.push_back(std::move(text));
    }
    return taken;
  }
  // What the client was sent since the last look, time stamps as "##:##:##"; broadcasts
  // included.
  std::string Sent(ClientState* client) {
    {
      MutexHold hold(server_->StateLock);
      TakeInbox(*server_, batch_);
    }
    DistributeInbox(*server_, batch_);
    std::string bytes = test::TakeQueued(client->Output.Queue);
    for (std::size_t at = 0; at + 8 <= bytes.size(); ++at) {
      if (bytes[at + 2] == ':' && bytes[at + 5] == ':' && (at == 0 || bytes[at - 1] == '\n')) {
        bytes.replace(at, 8, "##:##:##");
      }
    }
    return bytes;
  }
  // Everything pushed for the host, oldest first.
  std::vector<std::string> Pushed() {
    std::vector<std::string> texts;
    char text[kTextBytes];
    MutexHold hold(server_->StateLock);
    while (PopPending(*server_, text)) texts.insert(texts.begin(), text);
    return texts;
  }
  ConsoleServer* server_ = nullptr;
  std::vector<ClientState*> clients_;
  InboxBatch batch_{};
  RefusalNotices gate_{};
  std::unique_ptr<WaitingNotices> notices_{new WaitingNotices{}};
  std::int64_t now_ = 1000000;
  std::unique_ptr<char[]> scratch_{new char[kTextBytes]};
};

const std::string kWelcome =
    "##:##:## QC_OK: Welcome to the Team Quillaret development console, v0.1\r\n";
const std::string kWho =
    "##:##:## QC_OK: Currently connected clients (Port: 30100, GoID: 9, TemplateName: proto)\r\n"
    "##:##:## QC_OK: [01]\t0.0.0.0\r\n##:##:## QC_OK: End of list\r\n";

TEST_F(ProtocolTest, CommandsAreAnsweredOnEveryLineAndOtherRunsPushedWhole) {
  ClientState* dev = Connect("10.0.0.1");
  EXPECT_EQ(Sent(dev), kWelcome);
  // The complete lines go as one message; the unfinished tail waits for its own line end.
  Type(dev, "a\r\nb\r\ntail");
  Type(dev,
       " end\r\n[who] typed "
       "late\r\n[this].Get(\"gold\")\r\n[who]\r\nhello\r\nworld\r\n[who]\r\npart");
  Type(dev, "ial\r\n[quit]\r\nnever seen\r\n");
  EXPECT_EQ(Sent(dev),
            kWho + kWho + kWho +
                "##:##:## QC_OK: Disconnecting from Team Quillaret development console\r\n");
  EXPECT_EQ(Pushed(), (std::vector<std::string>{
                          "QC_OK: 10.0.0.1 connected (Port 30100, GoID: 9)", "a\r\nb\r\n",
                          "tail end\r\n", "[this].Get(\"gold\")\r\n", "hello\r\nworld\r\n",
                          "partial\r\n", "QC_OK: 10.0.0.1 disconnected (Port 30100, GoID: 9)"}));
  EXPECT_EQ(dev->Phase, ClientPhase::kClosing);
}

TEST_F(ProtocolTest, APasteOfCommandsIsAnsweredAShareATurnAndNothingIsLost) {
  ClientState* dev = Connect("10.0.0.1");
  ClientState* other = Connect("10.0.0.2");
  std::string paste;
  for (int i = 0; i < 100; ++i) paste += "[who]\nline " + std::to_string(i) + "\n";
  Type(dev, paste);
  const auto answers = [](const std::string& bytes) {
    std::size_t count = 0;
    for (std::size_t at = bytes.find("End of list"); at != std::string::npos;
         at = bytes.find("End of list", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_EQ(answers(Sent(dev)), static_cast<std::size_t>(kCommandsPerTurn));
  // What is left waits in the line, and nothing more is read meanwhile; another developer is
  // answered at once.
  EXPECT_GT(dev->Input.Line.Ready, 0u);
  EXPECT_FALSE(WantsInput(Context(), *dev));
  (void)Sent(other);
  Type(other, "[who]\n");
  EXPECT_EQ(answers(Sent(other)), 1u);
  const std::vector<std::string> taken = TurnsUntilHandled(dev);
  EXPECT_EQ(answers(Sent(dev)), 100u - kCommandsPerTurn);
  ASSERT_EQ(taken.size(), 102u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(taken[i + 2], "line " + std::to_string(i) + "\n");
  EXPECT_TRUE(WantsInput(Context(), *dev));
}

TEST_F(ProtocolTest, AFullStackHoldsLinesAndNoticesBackInOrderUntilTheHostTakesSome) {
  ClientState* dev = Connect("10.0.0.1");
  (void)Pushed();
  for (int i = 0; i < kMaxPending; ++i) Type(dev, "line " + std::to_string(i) + "\n");
  (void)Sent(dev);
  // The console still reads, and answers for itself, while its lines wait.
  Type(dev, "waits\n[who]\n");
  EXPECT_EQ(Sent(dev), kWho);
  EXPECT_EQ(dev->Input.WaitingForStack, 6u);
  EXPECT_TRUE(WantsInput(Context(), *dev));
  ClientState* late = Connect("10.0.0.2");
  Tick(0);
  EXPECT_EQ(server_->PendingCount.load(), kMaxPending);
  std::vector<std::string> taken = Pushed();
  EXPECT_EQ(taken.front(), "line 0\n");
  EXPECT_EQ(taken.back(), "line 99\n");
  Tick(0);
  EXPECT_EQ(Pushed(), (std::vector<std::string>{"QC_OK: 10.0.0.2 connected (Port 30100, GoID: 9)",
                                                "waits\n"}));
  EXPECT_TRUE(WantsInput(Context(), *dev));
  EXPECT_TRUE(WantsInput(Context(), *late));
}

// Developers whose connections end (a reset, a closed terminal) while their lines wait for the
// stack: the lines still reach the host, in order, before each one's disconnected notice. When
// too many have departed, a departed one's lines are pushed at once and the stack's oldest give
// way.
TEST_F(ProtocolTest, LinesOfADeveloperWhoLeftStillReachTheHostBeforeItsNotice) {
  ClientState* dev = Connect("10.0.0.1");
  ClientState* crowd = Connect("10.0.0.2");
  (void)Pushed();
  for (int i = 0; i < kMaxPending; ++i) Type(crowd, "line " + std::to_string(i) + "\n");
  // A turn's share of commands is answered; the one past it waits between the lines.
  std::string commands;
  for (int i = 0; i <= kCommandsPerTurn; ++i) commands += "[who]\n";
  Type(dev, "a\n" + commands + "b\nunfinish");
  Type(crowd, "c\n" + commands + "d\n");
  SessionContext context = Context();
  EndSession(context, *dev);
  EndSession(context, *crowd);
  EXPECT_TRUE(dev->Departed);
  EXPECT_FALSE(WantsInput(Context(), *dev));
  EXPECT_EQ(server_->ClientCount.load(), 0);
  PushDepartedLines(context, *crowd, true);  // one too many departed
  EXPECT_FALSE(crowd->Departed);
  const std::vector<std::string> taken = Pushed();
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kMaxPending));
  EXPECT_EQ(taken.front(), "line 2\n");
  EXPECT_EQ(taken[kMaxPending - 2], "c\n");
  EXPECT_EQ(taken.back(), "d\n");
  Tick(0);
  EXPECT_FALSE(dev->Departed);
  EXPECT_EQ(Pushed(), (std::vector<std::string>{
                          "QC_OK: 10.0.0.2 disconnected (Port 30100, GoID: 9)", "a\n", "b\n",
                          "QC_OK: 10.0.0.1 disconnected (Port 30100, GoID: 9)"}));
  // Nobody is left to answer the command that waited.
  const std::string sent = Sent(dev);
  std::size_t answers = 0;
  for (std::size_t at = sent.find("End of list"); at != std::string::npos;
       at = sent.find("End of list", at + 1)) {
    ++answers;
  }
  EXPECT_EQ(answers, static_cast<std::size_t>(kCommandsPerTurn));
}

TEST_F(ProtocolTest, AFullPieceOfShortLinesAfterAnUnfinishedLineIsNoOverflow) {
  ClientState* dev = Connect("10.0.0.1");
  Type(dev, "[who]\nunfinished ");
  std::string piece;
  for (int i = 0; piece.size() + 13 <= kTextBytes - 3; ++i) {
    piece += "line-" + std::string(7 - std::to_string(i).size(), '0') + std::to_string(i) + "\n";
  }
  piece += "x\n";
  ASSERT_EQ(piece.size(), kTextBytes - 1);
  Type(dev, piece);
  std::string joined;
  for (const std::string& text : TurnsUntilHandled(dev)) {
    EXPECT_LT(text.size(), kTextBytes);
    if (text.rfind("QC_", 0) != 0) joined += text;
  }
  EXPECT_EQ(joined, "unfinished " + piece);
  EXPECT_EQ(Sent(dev).find("overflow"), std::string::npos);
}

TEST_F(ProtocolTest, OverflowsPastFiveASecondAreFoldedIntoOneNoticeASecond) {
  // Registered, so that the notices are broadcast to the console's clients as well.
  ServerRegistry& registry = Registry();
  registry.Servers[0] = server_;
  registry.GoIDs[0] = server_->GoID;
  registry.Count.store(1);
  ClientState* dev = Connect("10.0.0.1");
  (void)Sent(dev);
  (void)Pushed();
  const std::string full(kTextBytes - 1, 'x');
  for (int i = 0; i < 21; ++i) Type(dev, full);  // the first fills the line, 20 overflow
  const std::string exact = "QC_ERROR: Buffer overflow detected from client (IP: 10.0.0.1)";
  const std::string folded = exact + ", 15 more since the last notice";
  EXPECT_EQ(Pushed(), std::vector<std::string>(kExactOverflowsPerSecond, exact));
  Tick(999);
  EXPECT_TRUE(Pushed().empty());
  Tick(1);
  EXPECT_EQ(Pushed(), std::vector<std::string>{folded});
  EXPECT_EQ(Sent(dev), [&] {
    std::string lines;
    for (int i = 0; i < kExactOverflowsPerSecond; ++i) lines += "##:##:## " + exact + "\r\n";
    return lines + "##:##:## " + folded + "\r\n";
  }());
  registry.Count.store(0);
}

TEST_F(ProtocolTest, LinesAfterThePasswordAreTheSessionsFirstInput) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  ClientState* dev = Connect("10.0.0.1");
  Type(dev, "s3cret\r\n[who]\r\nhello host\r\n");
  EXPECT_EQ(Sent(dev), kWelcome + "##:##:## QC_OK: Password required\r\n" +
                           "##:##:## QC_OK: Password accepted\r\n" + kWho);
  EXPECT_EQ(Pushed(), (std::vector<std::string>{"QC_OK: 10.0.0.1 connected (Port 30100, GoID: 9)",
                                                "hello host\r\n"}));
}

TEST_F(ProtocolTest, ThePromptIsLimitedAndGuessesAreSlowAndFoldedForTheHost) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  const std::string refused =
      kWelcome + "##:##:## QC_ERROR: Too many connections waiting for a password\r\n";
  // Three may wait from one address, twenty in all.
  std::vector<ClientState*> a;
  for (int i = 0; i < 3; ++i) a.push_back(Connect("10.0.0.1"));
  EXPECT_EQ(Sent(Connect("10.0.0.1")), refused);
  std::vector<ClientState*> others;
  for (int i = 0; i < 17; ++i) {
    others.push_back(Connect(("10.0.1." + std::to_string(i == 10 ? 9 : i)).c_str()));
  }
  // An address with two places takes none from one with three.
  ClientState* late = Connect("10.0.1.9");
  EXPECT_EQ(Sent(late), refused);
  EXPECT_EQ(late->Phase, ClientPhase::kClosing);
  // Wrong guesses: each answered after a second at the soonest, one a second per address and
  // five a second in all; a right password waits for its address's wrong one.
  for (ClientState* guess : a) Type(guess, "wrong\r\n");
  for (int i = 0; i < 9; ++i) Type(others[static_cast<std::size_t>(i)], "wrong\n");
  Type(others[10], "wrong\n");
  Type(others[9], "s3cret\n");   // from the address of others[10]: waits for its answer
  Type(others[11], "s3cret\n");  // answered at once: no wrong attempt of its address waits
  EXPECT_EQ(others[9]->Phase, ClientPhase::kAdmitted);
  EXPECT_EQ(others[11]->Phase, ClientPhase::kListed);
  Tick(999);
  EXPECT_EQ(a[0]->Phase, ClientPhase::kRefusing);
  Tick(1);
  int answered = 0;
  for (ClientState* client : clients_) answered += client->Phase == ClientPhase::kClosing;
  EXPECT_EQ(answered, 2 + 5);  // the two turned away, and five answers
  EXPECT_EQ(a[1]->Phase, ClientPhase::kRefusing);
  Tick(1000);
  EXPECT_EQ(others[9]->Phase, ClientPhase::kAdmitted);
  Tick(1000);  // others[10] is answered now, and others[9] let in right after
  EXPECT_EQ(others[9]->Phase, ClientPhase::kListed);
  Tick(1000);
  for (ClientState* guess : a) {
    EXPECT_NE(Sent(guess).find("##:##:## QC_ERROR: Wrong password\r\n"), std::string::npos);
  }
  // Silent at the prompt for 20 s: told so and closed, without a word to the host.
  Tick(20000 - 4000);
  EXPECT_EQ(Sent(others[12]), kWelcome + "##:##:## QC_OK: Password required\r\n" +
                                  "##:##:## QC_ERROR: Password timed out\r\n");
  // The host heard of the 13 refusals in five notices, the first as it happened, the others
  // a second apart, each naming the latest and counting the rest. Addresses took turns: the
  // single guess of 10.0.1.9 went before the second and third of 10.0.0.1.
  std::vector<std::string> notices;
  for (const std::string& text : Pushed()) {
    if (text.find("refused") != std::string::npos) notices.push_back(text);
  }
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "QC_ERROR: 10.0.0.1 refused: wrong password (Port 30100, GoID: 9)",
                         "QC_ERROR: 10.0.1.3 refused: wrong password, 3 more since the last "
                         "notice (Port 30100, GoID: 9)",
                         "QC_ERROR: 10.0.1.8 refused: wrong password, 4 more since the last "
                         "notice (Port 30100, GoID: 9)",
                         "QC_ERROR: 10.0.0.1 refused: wrong password, 1 more since the last "
                         "notice (Port 30100, GoID: 9)",
                         "QC_ERROR: 10.0.0.1 refused: wrong password (Port 30100, GoID: 9)"}));
}

TEST_F(ProtocolTest, PromptPlacesGoToTheFewestAndTheirOutputIsBounded) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  // Seven addresses take every place at the prompt; none takes a place from another as many.
  std::vector<ClientState*> held;
  for (int i = 0; i < 21; ++i) held.push_back(Connect(("10.0.3." + std::to_string(i % 7)).c_str()));
  EXPECT_EQ(held[20]->Phase, ClientPhase::kClosing);
  // A developer from an eighth address takes the place of the oldest of an address with three.
  ClientState* dev = Connect("10.0.9.9");
  EXPECT_EQ(dev->Phase, ClientPhase::kPassword);
  EXPECT_EQ(held[0]->Phase, ClientPhase::kClosing);
  EXPECT_NE(Sent(held[0]).find("QC_ERROR: Too many connections waiting for a password"),
            std::string::npos);
  // Telnet requests at the prompt from a client that reads nothing: its answers stop at the
  // mark, and so does reading from it.
  std::string requests;
  for (int i = 0; i < 8000; ++i) requests += "\xff\xfd\x18";
  for (int i = 0; i < 40 && WantsInput(Context(), *held[1]); ++i) Type(held[1], requests);
  EXPECT_FALSE(WantsInput(Context(), *held[1]));
  EXPECT_LE(held[1]->Output.Queue.Bytes, kOutputHighWater + 96);
  // A wrong password's connection is still read from, so its leaving frees its place at once.
  Type(dev, "wrong\n");
  EXPECT_EQ(dev->Phase, ClientPhase::kRefusing);
  EXPECT_TRUE(WantsInput(Context(), *dev));
}

TEST_F(ProtocolTest, ARightPasswordWaitsOnlyForTheWrongOnesItsAddressGaveBeforeIt) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  ClientState* first = Connect("10.0.0.1");
  ClientState* second = Connect("10.0.0.1");
  ClientState* dev = Connect("10.0.0.1");
  Type(first, "wrong\n");
  Type(second, "wrong\n");
  Type(dev, "s3cret\n");
  // Guessing goes on from the same address after the right password: it never holds it back.
  ClientState* later = Connect("10.0.0.1");
  Type(later, "wrong\n");
  Tick(1000);  // the first guess is answered; the second is one second behind it
  EXPECT_EQ(first->Phase, ClientPhase::kClosing);
  EXPECT_EQ(dev->Phase, ClientPhase::kAdmitted);
  ClientState* again = Connect("10.0.0.1");
  Type(again, "wrong\n");
  Tick(1000);  // the second guess is answered, and the right password right after it
  EXPECT_EQ(second->Phase, ClientPhase::kClosing);
  EXPECT_EQ(dev->Phase, ClientPhase::kListed);
  EXPECT_EQ(later->Phase, ClientPhase::kRefusing);
  EXPECT_EQ(again->Phase, ClientPhase::kRefusing);
  Tick(1000);  // then the guesses given after it, one a second, in the order given
  EXPECT_EQ(later->Phase, ClientPhase::kClosing);
  EXPECT_EQ(again->Phase, ClientPhase::kRefusing);
}

// A second console of the same process, driven beside the fixture's on the same clock.
struct SideConsole {
  ConsoleServer* server = NewConsoleServer(10, "side");
  std::vector<ClientState*> clients;
  InboxBatch batch{};
  RefusalNotices gate{};
  std::unique_ptr<WaitingNotices> notices{new WaitingNotices{}};
  std::unique_ptr<char[]> scratch{new char[kTextBytes]};
  ~SideConsole() {
    for (ClientState* client : clients) DeleteClientState(client);
    std::free(batch.Blocks);
    DeleteConsoleServer(server);
  }
  SessionContext Context(std::int64_t now) {
    return {server,         now,
            scratch.get(),  &batch,
            clients.data(), static_cast<int>(clients.size()),
            &gate,          notices.get()};
  }
  ClientState* Attempt(const char* address, std::string line, std::int64_t now) {
    clients.push_back(NewClientState(static_cast<Socket>(-1)));
    CopyText(clients.back()->Address, kAddressTextBytes, address);
    SessionContext context = Context(now);
    BeginSession(context, *clients.back());
    line.push_back('\0');
    TakeInput(context, *clients.back(), &line[0], line.size() - 1);
    return clients.back();
  }
  void Tick(std::int64_t now) {
    SessionContext context = Context(now);
    RunPasswordGate(context);
    for (ClientState* client : clients) RunTimers(context, *client);
  }
};

TEST_F(ProtocolTest, EveryConsoleOfTheProcessSharesTheGuessingLimits) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  SideConsole side;
  CopyText(side.server->Password, kNameBytes, "s3cret");
  // Six addresses guess at once, on two consoles; one of them twice, once on each.
  ClientState* here = Connect("10.0.0.1");
  Type(here, "wrong\n");
  for (int i = 1; i <= 4; ++i) Type(Connect(("10.0.1." + std::to_string(i)).c_str()), "wrong\n");
  ClientState* there = side.Attempt("10.0.0.1", "wrong\n", now_);
  ClientState* elsewhere = side.Attempt("10.0.2.1", "wrong\n", now_);
  ClientState* dev = side.Attempt("10.0.0.1", "s3cret\n", now_);
  const auto answered = [](const std::vector<ClientState*>& clients) {
    int count = 0;
    for (const ClientState* client : clients) count += client->Phase == ClientPhase::kClosing;
    return count;
  };
  Tick(1000);
  side.Tick(now_);
  // Five answers a second in all, one a second to an address, whichever console asks.
  EXPECT_EQ(answered(clients_) + answered(side.clients), 5);
  EXPECT_EQ(here->Phase, ClientPhase::kClosing);
  EXPECT_EQ(there->Phase, ClientPhase::kRefusing);
  EXPECT_EQ(dev->Phase, ClientPhase::kAdmitted);  // the other console's guess came first
  Tick(1000);
  side.Tick(now_);
  EXPECT_EQ(there->Phase, ClientPhase::kClosing);
  EXPECT_EQ(elsewhere->Phase, ClientPhase::kClosing);
  EXPECT_EQ(dev->Phase, ClientPhase::kListed);
}

TEST_F(ProtocolTest, AddressesTakeTurnsAcrossConsolesAndAWaitingConsoleLooksAgainSoon) {
  CopyText(server_->Password, kNameBytes, "s3cret");
  SideConsole side;
  CopyText(side.server->Password, kNameBytes, "s3cret");
  ClientState* here = Connect("10.0.0.1");
  Type(here, "wrong\n");
  ClientState* elsewhere = side.Attempt("10.0.2.1", "wrong\n", now_);
  ClientState* there = side.Attempt("10.0.0.1", "wrong\n", now_);
  ClientState* dev = side.Attempt("10.0.0.1", "s3cret\n", now_);
  // The side console's first answer is due in a second; its guess from 10.0.0.1 waits a
  // second longer, after this console's. The right password after them looks again soon.
  EXPECT_EQ(NextGateTimer(side.Context(now_)), now_ + 1000);
  EXPECT_EQ(dev->Phase, ClientPhase::kAdmitted);
  EXPECT_EQ(NextTimer(side.Context(now_), *dev), now_ + kGateRecheckMillis);
  now_ += 1000;
  side.Tick(now_);  // 10.0.0.1's guess was given first: its turn, though another console holds it
  EXPECT_EQ(elsewhere->Phase, ClientPhase::kRefusing);
  EXPECT_EQ(NextGateTimer(side.Context(now_)), now_ + kGateRecheckMillis);
  Tick(0);
  EXPECT_EQ(here->Phase, ClientPhase::kClosing);
  side.Tick(now_);
  EXPECT_EQ(elsewhere->Phase, ClientPhase::kClosing);
  EXPECT_EQ(there->Phase, ClientPhase::kRefusing);
  EXPECT_EQ(NextGateTimer(side.Context(now_)), now_ + 1000);
  EXPECT_EQ(dev->Phase, ClientPhase::kAdmitted);
  now_ += 1000;
  side.Tick(now_);
  EXPECT_EQ(there->Phase, ClientPhase::kClosing);
  EXPECT_EQ(dev->Phase, ClientPhase::kListed);
  // A guess whose sender leaves gives its place back: the right password after it waits no more.
  ClientState* leaver = side.Attempt("10.0.0.3", "wrong\n", now_);
  ClientState* right = side.Attempt("10.0.0.3", "s3cret\n", now_);
  EXPECT_EQ(right->Phase, ClientPhase::kAdmitted);
  SessionContext context = side.Context(now_);
  EndSession(context, *leaver);
  side.Tick(now_);
  EXPECT_EQ(right->Phase, ClientPhase::kListed);
}

TEST_F(ProtocolTest, TelnetClientsGetEvery0xFFDoubledAndOthersTheirBytesUnchanged) {
  ClientState* raw = Connect("10.0.0.1");
  ClientState* telnet = Connect("10.0.0.2");
  Type(telnet, "\xff\xfb\x18");  // WILL TTYPE: it speaks telnet
  (void)Sent(raw);
  EXPECT_EQ(Sent(telnet), kWelcome + "\xff\xfe\x18");  // the answer itself goes as it is
  // 0xFF before a byte below 240, in one piece or across two, is a raw client's data: it makes
  // no telnet client, and the line comes back byte for byte.
  const std::string typed =
      "caf\xe9 \xff! \xff"
      "A \xff\r\n";
  Type(raw, typed.substr(0, 9));
  Type(raw, typed.substr(9));
  ASSERT_EQ(Pushed().back(), typed);
  SendToAllClients(*server_, typed.c_str());
  EXPECT_EQ(Sent(raw), "##:##:## QC_MSG: " + typed);
  EXPECT_EQ(Sent(telnet),
            "##:##:## QC_MSG: caf\xe9 \xff\xff! \xff\xff"
            "A \xff\xff\r\n");
  SendToAllClients(*server_, "QC_OK: \xff\xfa host text");
  EXPECT_EQ(Sent(raw), "##:##:## QC_OK: \xff\xfa host text\r\n");
  EXPECT_EQ(Sent(telnet), "##:##:## QC_OK: \xff\xff\xfa host text\r\n");
  // A subnegotiation that never ends is cut after 1 KiB; what follows is input again.
  Type(telnet, "\xff\xfa" + std::string(1024, 'x') + "[who]\r\n");
  EXPECT_EQ(Sent(telnet),
            "##:##:## QC_OK: Currently connected clients (Port: 30100, GoID: 9, "
            "TemplateName: proto)\r\n##:##:## QC_OK: [01]\t0.0.0.0\r\n"
            "##:##:## QC_OK: [02]\t0.0.0.0\r\n##:##:## QC_OK: End of list\r\n");
}

TEST(NoticesTest, NoticesWaitInOrderWhileTheStackIsFullAndTheOldestGiveWayWhenTooMany) {
  ConsoleServer* server = NewConsoleServer(3, "notices");
  ASSERT_NE(server, nullptr);
  server->StackOpen.store(true);
  std::unique_ptr<WaitingNotices> waiting{new WaitingNotices{}};
  SessionContext context{server, 0, nullptr, nullptr, nullptr, 0, nullptr, waiting.get()};
  for (int i = 0; i < kMaxPending; ++i) PushPending(*server, "typed");
  // A host that stopped polling: the notices past the waiting list's room push out its oldest.
  const int extra = 3;
  for (int i = 0; i < kWaitingNotices + extra; ++i) {
    PushNotice(context, ("notice " + std::to_string(i)).c_str());
  }
  EXPECT_EQ(waiting->Count, kWaitingNotices);
  // The host drains the stack (finding it empty opens it again): the waiting notices fill it
  // in order, the oldest kept at its bottom.
  char text[kTextBytes];
  while (PopPending(*server, text)) {
  }
  PushWaitingNotices(context);
  EXPECT_EQ(waiting->Count, kWaitingNotices - kMaxPending);
  std::string oldest;
  while (PopPending(*server, text)) oldest = text;
  EXPECT_EQ(oldest, "notice " + std::to_string(extra));
  DeleteConsoleServer(server);
}

}  // namespace
}  // namespace qc
