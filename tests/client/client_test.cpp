// quillaret-attach's protocol logic, on the console's own bytes: no sockets, no terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <tuple>

#include "client/core/history.h"
#include "client/core/line_edit.h"
#include "client/core/lookup.h"
#include "client/core/options.h"
#include "client/core/platform.h"
#include "client/core/protocol.h"
#include "client/core/script.h"
#include "client/core/word_store.h"

namespace qc::attach {
namespace {

// A session with another developer on the same console: which lines a script prints.
TEST(AnswerCollectorTest, AnswersRunFromTheEchoToTheNextEchoWithoutNotices) {
  AnswerCollector collector;
  std::vector<std::string> printed;
  auto feed = [&](const char* raw) {
    const ConsoleLine line = ParseLine(raw);
    const auto verdict = collector.Take(line);
    if (verdict == AnswerCollector::Verdict::kAnswer ||
        verdict == AnswerCollector::Verdict::kListingDone) {
      printed.push_back(ScriptAnswerText(line, false));
    }
    return verdict;
  };
  feed("12:00:00 QC_OK: quillaret-host runs your script lines here");  // before any echo
  collector.Sent("[this].Get(\"a\")");
  feed("12:00:01 QC_MSG: [this].Get(\"b\")");  // another developer's line, before ours
  EXPECT_EQ(feed("12:00:01 QC_MSG: [this].Get(\"a\")"), AnswerCollector::Verdict::kEcho);
  EXPECT_TRUE(collector.Settled());
  feed("12:00:01 QC_MSG: a = 1");
  feed("12:00:01 QC_OK: 10.0.0.7 connected (Port -32768, GoID: -1)");
  feed("QC_ERROR: Connection has timed out");
  feed("12:00:02 QC_ERROR: no such \x1b[2J key");
  collector.Sent("[who]");
  EXPECT_FALSE(collector.Settled());
  feed("12:00:02 QC_OK: 10.0.0.7 disconnected (Port 30000, GoID: 7)");
  feed("12:00:03 QC_OK: Currently connected clients (Port: 30000, GoID: 7, TemplateName: x)");
  feed("12:00:03 QC_OK: [01]\t127.0.0.1");
  EXPECT_EQ(feed("12:00:03 QC_OK: End of list"), AnswerCollector::Verdict::kListingDone);
  EXPECT_TRUE(collector.Settled());
  const std::vector<std::string> expected = {
      "a = 1", "QC_ERROR: no such \\x1b[2J key",
      "QC_OK: Currently connected clients (Port: 30000, GoID: 7, TemplateName: x)",
      "QC_OK: [01]\t127.0.0.1", "QC_OK: End of list"};
  EXPECT_EQ(printed, expected);
}

TEST(SpawnRowTest, RowsAreReadAndObjectsMatchedAsTheConsolePrintsThem) {
  std::vector<SpawnRow> rows;
  for (const char* raw : {"08:00:00 QC_OK: [01]\tPort: 30000, GoID: 42, TemplateName: goblin",
                          "08:00:00 QC_OK: [02]\tPort: -32768, GoID: -1, TemplateName: a, b",
                          "08:00:00 QC_OK: [10]\tPort: 30002, GoID: 7, TemplateName: goblin",
                          "08:00:00 QC_OK: [11]\tPort: 30003, GoID: 9, TemplateName: 42"}) {
    SpawnRow row;
    ASSERT_TRUE(ParseSpawnRow(ParseLine(raw), row)) << raw;
    rows.push_back(row);
  }
  EXPECT_EQ(rows[1].port, 32768);
  EXPECT_EQ(rows[1].templateName, "a, b");
  SpawnRow row;
  EXPECT_FALSE(ParseSpawnRow(ParseLine("08:00:00 QC_OK: [01]\t127.0.0.1"), row));
  EXPECT_FALSE(
      ParseSpawnRow(ParseLine("08:00:00 QC_MSG: [01]\tPort: 1, GoID: 1, TemplateName: x"), row));
  EXPECT_FALSE(
      ParseSpawnRow(ParseLine("08:00:00 QC_OK:x[01]\tPort: 1, GoID: 1, TemplateName: x"), row));

  auto ports = [&](const char* object) {
    std::vector<int> found;
    for (const SpawnRow& match : MatchObject(rows, object)) found.push_back(match.port);
    return found;
  };
  EXPECT_EQ(ports("goblin"), (std::vector<int>{30000, 30002}));  // ambiguous
  EXPECT_EQ(ports("42"), (std::vector<int>{30000}));             // a GoID before a name
  EXPECT_EQ(ports("4294967295"), (std::vector<int>{32768}));
  EXPECT_EQ(ports("-1"), (std::vector<int>{32768}));
  EXPECT_EQ(ports(":30003"), (std::vector<int>{30003}));
  EXPECT_EQ(ports("a, b"), (std::vector<int>{32768}));
  EXPECT_TRUE(ports("Goblin").empty());
  EXPECT_EQ(PortOfObject(":0"), 0);
  EXPECT_EQ(PortOfObject(":65536"), 0);
}

TEST(EscapeControlBytesTest, OnlyWhatCannotSteerATerminalPassesUnchanged) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain\ttab", "plain\ttab"},
      {"\x1b[2J\r\x07\x7f", "\\x1b[2J\\x0d\\x07\\x7f"},
      {"caf\xc3\xa9 \xe2\x86\x91", "caf\xc3\xa9 \xe2\x86\x91"},  // UTF-8 stays
      {"\xc2\x9b"
       "31m",
       "\\xc2\\x9b31m"},  // C1 CSI in UTF-8
      {"\x9b"
       "31m \xc3",
       "\\x9b31m \\xc3"},                                       // stray bytes
      {"\xc0\xaf \xed\xa0\x80", "\\xc0\\xaf \\xed\\xa0\\x80"},  // overlong, surrogate
      // Bidirectional controls: RLO, PDI, RLM, ALM and LRO.
      {"a\xe2\x80\xae"
       "b\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c\xe2\x80\xad",
       "a\\xe2\\x80\\xaeb\\xe2\\x81\\xa9\\xe2\\x80\\x8f\\xd8\\x9c\\xe2\\x80\\xad"},
      {"\xe2\x80\xa9\xe2\x81\xaa", "\xe2\x80\xa9\xe2\x81\xaa"},  // U+2029, U+206A stay
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(EscapeControlBytes(text), shown);
  EXPECT_EQ(RenderLine("08:00:00 QC_ERROR: x", false, true), "\x1b[31m08:00:00 QC_ERROR: x\x1b[0m");
  EXPECT_EQ(RenderLine("08:00:00 QC_MSG: x", true, false), "> 08:00:00 QC_MSG: x");
}

TEST(OptionsTest, CommandLineBasePortAndHistoryPath) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--host", "game", "--base-port=31000", "-c", "a", "-c", "b", "--wait",
                            "0.05", "--stop-on-error", "goblin"},
                           options, error));
  EXPECT_EQ(options.host, "game");
  EXPECT_EQ(options.basePort, 31000);
  EXPECT_EQ(options.lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(options.waitMillis, 50);
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{},
                                                {"--list", "goblin"},
                                                {"--base-port", "70000", "x"},
                                                {"-c", "a", "-f", "f", "x"},
                                                {"--wait"},
                                                {"--list", "--all"},
                                                {"--frobnicate", "x"},
                                                {"--wait", "500", "x"},
                                                {"--stop-on-error", "--fail-on-error", "x"},
                                                {"--retry", "soon", "x"}}) {
    Options ignored;
    EXPECT_FALSE(ParseOptions(wrong, ignored, error)) << wrong.size();
  }
  // Several objects and patterns; the environment under the command line.
  Options many;
  ASSERT_TRUE(ParseOptions({"goblin*", "-1", "--retry=1.5", "--echo-timeout", "300ms"}, many, error,
                           "game", "31000"));
  EXPECT_EQ(many.objects, (std::vector<std::string>{"goblin*", "-1"}));
  EXPECT_TRUE(many.ManyObjects());
  EXPECT_EQ(many.retryMillis, 1500);
  EXPECT_EQ(many.echoMillis, 300);
  EXPECT_EQ(many.host, "game");
  EXPECT_EQ(many.basePort, 31000);
  Options given;
  ASSERT_TRUE(ParseOptions({"--host", "here", "--base-port", "32000", "chest"}, given, error,
                           "game", "31000"));
  EXPECT_EQ(given.host, "here");
  EXPECT_EQ(given.basePort, 32000);
  EXPECT_FALSE(given.ManyObjects());
  Options wrongVariable;
  EXPECT_FALSE(ParseOptions({"chest"}, wrongVariable, error, "", "0x7530"));
  int millis = 0;
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int>>{
           {"2", 2000}, {"0.3", 300}, {"1.5s", 1500}, {"300ms", 300}, {"0.0015", 1}}) {
    EXPECT_TRUE(ParseSeconds(text, 1, 600000, millis) && millis == expected) << text;
  }
  for (const char* text : {"", ".", "s", "ms", "1.2.3", "-1", "1e3", "0.0001", "2.5ms", "601"}) {
    EXPECT_FALSE(ParseSeconds(text, 1, 600000, millis)) << text;
  }
  EXPECT_EQ(BasePortFromProfile("[qcserver]\n; note\n BasePort = 0x7530 \n", 1), 30000);
  EXPECT_EQ(BasePortFromProfile("[QCServer]\nBasePort=\n", 30000), 30000);
  EXPECT_EQ(BasePortFromProfile("[Other]\nBasePort=1\n", 30000), 30000);
  EXPECT_EQ(HistoryPath("/s", "goblin"), "/s/quillaret/history/goblin");
  EXPECT_EQ(HistoryPath("/s", "../a b"), "/s/quillaret/history/%2E.%2Fa%20b");
  EXPECT_EQ(HistoryPath("", "goblin"), "");
}

TEST(PatternTest, ShellStylePatternsOverTemplateNames) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"goblin*", "goblin", true},
      {"goblin*", "goblin_chief", true},
      {"goblin*", "hobgoblin", false},
      {"*goblin", "hobgoblin", true},
      {"g?blin", "gobli", false},
      {"g?blin", "gublin", true},
      {"*a*b*c", "xaybzc", true},
      {"*a*b*c", "xaybzcd", false},
      {"[a-c]hest", "chest", true},
      {"[!a-c]hest", "chest", false},
      {"[!a-c]hest", "dhest", true},
      {"x[", "x[", true},
      {"[]]x", "]x", true},
      {"*", "", true},
  };
  for (const auto& [pattern, name, matches] : cases) {
    EXPECT_EQ(MatchPattern(pattern, name), matches) << pattern << " " << name;
  }
  EXPECT_TRUE(IsPattern("goblin*") && IsPattern("[ab]") && !IsPattern("goblin"));
}

TEST(ListingCacheTest, RowsRoundTripAndBrokenRowsAreLeftOut) {
  EXPECT_EQ(ListingPath("/s", "game.example", 30000), "/s/quillaret/listings/game.example_30000");
  EXPECT_EQ(ListingPath("", "h", 1), "");
  ASSERT_TRUE(MakeFolders("listing-test"));
  const std::string path = "listing-test/rows";
  std::vector<SpawnRow> rows(3);
  rows[0] = {32768, -1, "a, b\ttabbed"};
  rows[1] = {30001, 7, "chest"};
  rows[2] = {30002, 9, "two\nlines"};  // cannot be kept on one line
  ASSERT_TRUE(RememberListing(path, rows));
  const std::vector<SpawnRow> read = ReadRememberedListing(path);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].port, 32768);
  EXPECT_EQ(read[0].printedGoid, -1);
  EXPECT_EQ(read[0].templateName, "a, b\ttabbed");
  EXPECT_EQ(read[1].templateName, "chest");
  ASSERT_TRUE(ReplaceWholeFile(path, "30000\t42\tgoblin\nx\t1\tbad\n70000\t1\tbig\n30001\t7\tcut"));
  const std::vector<SpawnRow> kept = ReadRememberedListing(path);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].templateName, "goblin");
  EXPECT_TRUE(ReadRememberedListing("listing-test/missing").empty());

  PresenceNotice notice;
  ASSERT_TRUE(ParsePresenceNotice(
      ParseLine("08:00:00 QC_OK: 10.0.0.7 disconnected (Port -32768, GoID: -1)"), notice));
  EXPECT_EQ(notice.address, "10.0.0.7");
  EXPECT_FALSE(notice.connected);
  EXPECT_EQ(notice.printedPort, -32768);
  EXPECT_EQ(notice.printedGoid, -1);
  EXPECT_FALSE(
      ParsePresenceNotice(ParseLine("08:00:00 QC_MSG: 1 connected (Port 1, GoID: 1)"), notice));
}

// Consoles as the finder sees them through its connector: a welcome, the connected notice,
// "[spawns]" and "[quit]" answered; the game "restarts" by changing what runs where.
class FakeGame final : public Connector {
 public:
  struct Console {
    int goid;
    std::string name;
  };
  std::map<std::uint16_t, Console> consoles;
  std::vector<std::uint16_t> connects;
  int spawnsAsked = 0;

  Connection Connect(const std::string& host, std::uint16_t port, int) override {
    if (host != "127.0.0.1" || consoles.count(port) == 0) return kNoConnection;
    connects.push_back(port);
    const Connection id = static_cast<Connection>(out_.size());
    out_.push_back(Stamp("QC_OK: Welcome to the Team Quillaret development console, v0.1") +
                   Stamp("QC_OK: 127.0.0.1 connected (Port " + std::to_string(PrintedPort(port)) +
                         ", GoID: " + std::to_string(consoles[port].goid) + ")"));
    return id;
  }
  bool Send(Connection id, const char* bytes, std::size_t length, int) override {
    const std::string line(bytes, length);
    if (line == "[quit]\n") {
      out_[id] += Stamp("QC_OK: Disconnecting from Team Quillaret development console");
    } else if (line == "[spawns]\n") {
      ++spawnsAsked;
      out_[id] += Stamp("QC_OK: Currently spawned servers");
      int n = 0;
      for (const auto& [port, console] : consoles) {
        out_[id] += Stamp(
            "QC_OK: [0" + std::to_string(++n) + "]\tPort: " + std::to_string(PrintedPort(port)) +
            ", GoID: " + std::to_string(console.goid) + ", TemplateName: " + console.name);
      }
      out_[id] += Stamp("QC_OK: End of list");
    }
    return true;
  }
  int Receive(Connection id, char* buffer, std::size_t capacity, int millis) override {
    std::string& pending = out_[id];
    if (pending.empty()) {
      PauseMillis(std::min(millis, 1));  // as a socket with nothing to read would wait
      return 0;
    }
    const std::size_t n = std::min(capacity, pending.size());
    pending.copy(buffer, n);
    pending.erase(0, n);
    return static_cast<int>(n);
  }
  void Close(Connection) override {}

 private:
  static std::string Stamp(const std::string& body) { return "08:00:00 " + body + "\r\n"; }
  std::vector<std::string> out_;
};

TEST(ConsoleFinderTest, RememberedPortsAreConfirmedAndTheListingAskedOnlyWhenNeeded) {
  ASSERT_TRUE(MakeFolders("finder-test"));
  LookupSettings settings;
  settings.basePort = 30000;
  settings.stateFolder = "finder-test";
  settings.confirmMillis = 200;
  const std::string remembered = ListingPath("finder-test", "127.0.0.1", 30000);
  (void)ReplaceWholeFile(remembered, "");
  PasswordSource password;
  FakeGame game;
  game.consoles = {{30000, {5, "chest"}}, {30001, {7, "goblin"}}, {40000, {-3, "orc"}}};
  ConsoleLink link;
  Attached attached;

  // Nothing remembered: the first console's listing, then the object's own console.
  ConsoleFinder fresh(settings, password, game);
  ASSERT_EQ(fresh.Attach("goblin", link, attached), OpenResult::kOpen);
  EXPECT_EQ(attached.own.port, 30001);
  EXPECT_EQ(game.connects, (std::vector<std::uint16_t>{30000, 30001}));
  EXPECT_EQ(game.spawnsAsked, 1);
  EXPECT_EQ(ReadRememberedListing(remembered).size(), 3u);

  // Remembered (by the next program run): each port confirmed by its notice, nothing asked.
  game.connects.clear();
  ConsoleFinder later(settings, password, game);
  ASSERT_EQ(later.Attach("orc", link, attached), OpenResult::kOpen);
  EXPECT_EQ(attached.own.printedGoid, -3);
  ASSERT_EQ(later.Attach("7", link, attached), OpenResult::kOpen);
  EXPECT_EQ(game.connects, (std::vector<std::uint16_t>{40000, 30001}));
  EXPECT_EQ(game.spawnsAsked, 1);

  // A pattern: the listing asked once, on a console it names; each object then confirmed.
  std::vector<std::string> selected;
  std::string failed;
  std::vector<SpawnRow> rows;
  ASSERT_EQ(later.Select({"*o*"}, false, selected, failed, rows), OpenResult::kOpen);
  EXPECT_EQ(selected, (std::vector<std::string>{"goblin", "orc"}));
  for (const std::string& object : selected) {
    EXPECT_EQ(later.Attach(object, link, attached), OpenResult::kOpen);
  }
  EXPECT_EQ(game.spawnsAsked, 2);

  // The game restarted: goblin moved to 30002 and an orc took its port. The notice on the
  // remembered port says so, that console's listing shows where goblin went.
  game.consoles = {{30000, {5, "chest"}}, {30001, {8, "orc"}}, {30002, {9, "goblin"}}};
  game.connects.clear();
  ConsoleFinder restarted(settings, password, game);
  ASSERT_EQ(restarted.Attach("goblin", link, attached), OpenResult::kOpen);
  EXPECT_EQ(attached.own.port, 30002);
  EXPECT_EQ(attached.own.printedGoid, 9);
  EXPECT_EQ(game.connects, (std::vector<std::uint16_t>{30001, 30002}));
  EXPECT_EQ(game.spawnsAsked, 3);
  EXPECT_EQ(restarted.Attach("orc", link, attached), OpenResult::kOpen);
  EXPECT_EQ(game.spawnsAsked, 3);  // the fresh listing is remembered
}

TEST(OwnEchoTest, EchoesOfOneFrameArriveNewestFirst) {
  std::deque<std::string> awaiting = {"[this].A()", "[this].B()", "[this].A()"};
  EXPECT_TRUE(TakeOwnEcho(awaiting, ParseLine("08:00:00 QC_MSG: [this].B()"), false));
  EXPECT_TRUE(TakeOwnEcho(awaiting, ParseLine("08:00:00 QC_MSG: [this].A()"), false));
  EXPECT_FALSE(TakeOwnEcho(awaiting, ParseLine("08:00:00 QC_MSG: [this].B()"), true));  // another's
  EXPECT_EQ(awaiting, (std::deque<std::string>{"[this].A()"}));
  // A paste that reached the console in one piece: one echo, its later lines bare.
  awaiting = {"a = 1", "[this].C()"};
  EXPECT_FALSE(TakeOwnEcho(awaiting, ParseLine("[this].C()"), false));
  EXPECT_TRUE(TakeOwnEcho(awaiting, ParseLine("08:00:00 QC_MSG: a = 1"), false));
  EXPECT_TRUE(TakeOwnEcho(awaiting, ParseLine("[this].C()"), true));
  EXPECT_TRUE(awaiting.empty());
}

TEST(HistoryTest, TwoSessionsAppendToOneFileAndAnOvergrownFileIsCut) {
  // Relative to the test's working folder, on both systems.
  const std::string path = HistoryPath("history-test", "goblin");
  ASSERT_TRUE(MakeFolders("history-test/quillaret/history"));
  ASSERT_TRUE(ReplaceWholeFile(path, ""));
  // Two sessions read the same history, then each appends its own lines.
  EXPECT_TRUE(ReadHistory(path).empty());
  EXPECT_TRUE(AppendHistory(path, "first"));
  EXPECT_TRUE(AppendHistory(path, "second"));
  EXPECT_TRUE(AppendHistory(path, "first again"));
  EXPECT_FALSE(AppendHistory(path, "two\nlines"));
  EXPECT_FALSE(AppendHistory(path, ""));
  EXPECT_EQ(ReadHistory(path), (std::vector<std::string>{"first", "second", "first again"}));
  // A front end holding the lines (the web console's panes, the terminal): the newest is not
  // kept twice, and what it keeps reaches the file the other front end reads.
  std::vector<std::string> lines = ReadHistory(path);
  EXPECT_FALSE(KeepTypedLine(lines, path, "first again"));
  EXPECT_TRUE(KeepTypedLine(lines, path, "third"));
  EXPECT_EQ(ReadHistory(path), lines);
  // A line that a failed write cut short never runs into the next one appended.
  ASSERT_TRUE(AppendToFile(path, "cut sh"));
  EXPECT_EQ(ReadHistory(path), lines);
  EXPECT_TRUE(AppendHistory(path, "fourth"));
  EXPECT_EQ(ReadHistory(path), (std::vector<std::string>{"first", "second", "first again", "third",
                                                         "cut sh", "fourth"}));
  EXPECT_EQ(HistoryKeyOf(SpawnRow{30001, 7, "goblin"}, true, 30001), "goblin");
  EXPECT_EQ(HistoryKeyOf(SpawnRow{}, false, 30001), ":30001");

  std::string many;
  for (int i = 0; i < 2 * kHistoryLines + 1; ++i) many += "line " + std::to_string(i) + "\n";
  ASSERT_TRUE(ReplaceWholeFile(path, many + "cut sho"));
  const std::vector<std::string> kept = ReadHistory(path);
  ASSERT_EQ(kept.size(), static_cast<std::size_t>(kHistoryLines));
  EXPECT_EQ(kept.back(), "line " + std::to_string(2 * kHistoryLines));
  EXPECT_EQ(ReadHistory(path), kept);  // rewritten with the kept lines alone
  std::string text;
  ASSERT_TRUE(ReadWholeFile(path, text));
  EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\n')), kHistoryLines);
}

TEST(WordStoreTest, CodeLikeNamesAreLearnedKeptBoundedAndSharedThroughTheFile) {
  const std::string path = WordsPath("words-test", "goblin");
  ASSERT_TRUE(MakeFolders("words-test/quillaret/words"));
  ASSERT_TRUE(ReplaceWholeFile(path, ""));
  WordStore store;
  LoadWords(store, path);
  // Calls keep their "(", members and names with capitals, digits or '_' count; prose, the
  // console's tags and short names do not.
  EXPECT_EQ(LearnWords(store,
                       "QC_OK:   MakeGoid(N).GetHealth() the health of obj.speed, "
                       "max_hp hp2 Go() Get(KEY)"),
            6u);
  EXPECT_EQ(store.words, (std::vector<std::string>{"Get(", "hp2", "max_hp", "speed", "GetHealth(",
                                                   "MakeGoid("}));
  EXPECT_EQ(LearnWords(store, "GetHealth is 5; Keys()"), 1u);  // still a call, now newest
  std::vector<std::string> found;
  EXPECT_EQ(CompleteWord(store, "Ge", found), 2u);
  EXPECT_EQ(found, (std::vector<std::string>{"GetHealth(", "Get("}));
  found.clear();
  EXPECT_EQ(CompleteWord(store, "Get", found), 2u);  // the exact call completes with "("

  // A second store (the web console's) reads what the first appended, most recent first; a
  // word seen again within the newest kWordRenewal is not written again.
  WordStore other;
  LoadWords(other, path);
  EXPECT_EQ(other.words, (std::vector<std::string>{"Keys(", "Get(", "hp2", "max_hp", "speed",
                                                   "GetHealth(", "MakeGoid("}));

  // Bounded, the newest kept; a file grown past twice the bound is rewritten.
  std::string many;
  for (std::size_t i = 0; i <= 2 * kWordStoreWords; ++i) {
    many += "Name" + std::to_string(i) + "\n";
  }
  ASSERT_TRUE(ReplaceWholeFile(path, many + "Get(\nName7\nBroken"));
  LoadWords(store, path);
  ASSERT_EQ(store.words.size(), kWordStoreWords);
  EXPECT_EQ(store.words[0], "Name7");
  EXPECT_EQ(store.words[1], "Get(");
  EXPECT_EQ(store.words[2], "Name" + std::to_string(2 * kWordStoreWords));
  std::string text;
  ASSERT_TRUE(ReadWholeFile(path, text));
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), kWordStoreWords);
}

TEST(WordStoreTest, NamesCompleteAfterThisThatAndAtAWordsStart) {
  const std::pair<std::string, std::size_t> completes[] = {
      {"[this].Ge", 7}, {"[that](3).Ge", 10}, {"Ge", 0},
      {"x = Ge", 4},    {"[this].", 7},       {"Set(Ge", 4},
  };
  for (const auto& [line, at] : completes) {
    std::size_t start = 99;
    EXPECT_TRUE(FindWordToComplete(line, start)) << line;
    EXPECT_EQ(start, at) << line;
  }
  for (const char* line : {"", "x ", "[wh", "Set(3", "12ab"}) {
    std::size_t start = 0;
    EXPECT_FALSE(FindWordToComplete(line, start)) << line;
  }
}

// The Windows console's line editor, fed key records as the console reports them.
EditResult Type(LineEdit& edit, std::u16string_view text) {
  EditResult last = EditResult::kUnchanged;
  for (const char16_t unit : text) last = edit.Press({0, unit, 0});
  return last;
}
EditResult Key(LineEdit& edit, std::uint16_t virtualKey, std::uint32_t modifiers = 0) {
  return edit.Press({virtualKey, 0, modifiers});
}
constexpr std::uint32_t kCtrl = keys::kLeftCtrl;

TEST(LineEditTest, EditingKeysWorkOnCharactersAndTheLineGoesOutAsUtf8) {
  LineEdit edit;
  // "a😀é": the emoji is a surrogate pair, one character to the keys.
  Type(edit, u"a\U0001F600\u00e9 word");
  Key(edit, keys::kHome);
  Key(edit, keys::kRight);
  Key(edit, keys::kRight);
  EXPECT_EQ(edit.Cursor(), 3u);  // past the pair
  Key(edit, keys::kBack);
  EXPECT_EQ(edit.Text(), u"a\u00e9 word");
  Key(edit, keys::kDelete);
  Key(edit, 0x10);  // Shift alone goes down before a capital: nothing happens
  Type(edit, u"E");
  EXPECT_EQ(edit.Text(), u"aE word");
  Type(edit, u"\x05");  // Ctrl-E
  Key(edit, keys::kLeft, kCtrl);
  EXPECT_EQ(edit.Cursor(), 3u);
  Type(edit, u"\x0b");    // Ctrl-K
  Type(edit, u"\x17");    // Ctrl-W
  Type(edit, u"x\x01y");  // Ctrl-A, then insert at the start
  EXPECT_EQ(edit.Text(), u"yx");
  // AltGr is Ctrl and Alt together and types characters; Alt-b alone moves a word.
  edit.Press({0x51, u'@', keys::kRightAlt | keys::kLeftCtrl});
  EXPECT_EQ(edit.Text(), u"y@x");
  Type(edit, u"\u00e9\U0001F600");
  EXPECT_EQ(edit.Press({0, u'\r', 0}), EditResult::kSubmitted);
  EXPECT_EQ(edit.TakeLine(), "y@\xc3\xa9\xf0\x9f\x98\x80x");
  EXPECT_TRUE(edit.Text().empty());

  EXPECT_EQ(Utf8ToUtf16("caf\xc3\xa9 \xe2\x86\x91"), u"caf\u00e9 \u2191");
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf\xed\xa0\x80\xe2\x86"),
            u"\xfffd\xfffd\xfffd\xfffd\xfffd\xfffd\xfffd");
  EXPECT_EQ(Utf16ToUtf8(u"\xd800x\xdc00"), "\xef\xbf\xbdx\xef\xbf\xbd");
  // Git Bash's terminal is a pipe of MSYS's; its other pipes are no terminal.
  EXPECT_TRUE(IsPtyPipeName("\\msys-1888ae32e00d56aa-pty0-from-master"));
  EXPECT_TRUE(IsPtyPipeName("\\cygwin-e022582115c10879-pty3-to-master"));
  EXPECT_FALSE(IsPtyPipeName("\\msys-1888ae32e00d56aa-13364-pipe-0x1"));
  EXPECT_FALSE(IsPtyPipeName("\\other-pty0-from-master"));
}

TEST(LineEditTest, HistoryWalkAndSearchesKeepTheTypedLine) {
  LineEdit edit;
  edit.LoadHistory({"[this].Get(\"a\")", "[who]", "[this].Set(\"a\", 1)"});
  EXPECT_FALSE(edit.Remember("[this].Set(\"a\", 1)"));  // the same as the newest
  EXPECT_FALSE(edit.Remember(""));
  Type(edit, u"[th");
  Key(edit, keys::kUp);
  Key(edit, keys::kUp);
  EXPECT_EQ(edit.Text(), u"[who]");
  Key(edit, keys::kDown);
  Key(edit, keys::kDown);
  EXPECT_EQ(edit.Text(), u"[th");  // the line being typed comes back
  EXPECT_EQ(Key(edit, keys::kDown), EditResult::kUnchanged);
  // F8: the next older line beginning with what is before the cursor.
  Key(edit, keys::kF8);
  EXPECT_EQ(edit.Text(), u"[this].Set(\"a\", 1)");
  Key(edit, keys::kF8);
  EXPECT_EQ(edit.Text(), u"[this].Get(\"a\")");
  EXPECT_EQ(edit.Cursor(), 3u);
  Type(edit, u"\x1b");  // Escape clears, as in the Windows console
  // Ctrl-R: the newest line holding the text, Ctrl-R again an older one; Ctrl and Shift
  // going down on their own do not end the search.
  Type(edit, u"x");
  Key(edit, 0x11, kCtrl);
  Type(edit, u"\x12");
  Key(edit, 0x10);
  Type(edit, u"\"a");
  EXPECT_EQ(edit.Text(), u"[this].Set(\"a\", 1)");
  EXPECT_EQ(edit.View().text, u"(reverse-i-search)`\"a': [this].Set(\"a\", 1)");
  Type(edit, u"\x12");
  EXPECT_EQ(edit.Text(), u"[this].Get(\"a\")");
  Type(edit, u"\x12");
  EXPECT_EQ(edit.View().text, u"(failed reverse-i-search)`\"a': [this].Get(\"a\")");
  Type(edit, u"\x07");  // Ctrl-G gives the line back as it was
  EXPECT_EQ(edit.Text(), u"x");
  Type(edit, u"\x12wh");
  EXPECT_EQ(edit.View().cursor, std::u16string(u"(reverse-i-search)`wh': [").size());
  EXPECT_EQ(Key(edit, keys::kReturn), EditResult::kSubmitted);
  EXPECT_EQ(edit.TakeLine(), "[who]");
  EXPECT_TRUE(edit.Remember("[who]"));
  Key(edit, keys::kUp);
  EXPECT_EQ(edit.Text(), u"[who]");
}

TEST(LineEditTest, CtrlCClearsCtrlDAndCtrlZEndAndTabCompletes) {
  LineEdit edit;
  Type(edit, u"half typed");
  EXPECT_EQ(Type(edit, u"\x03"), EditResult::kCleared);
  EXPECT_EQ(edit.ClearedText(), "half typed");
  EXPECT_TRUE(edit.Text().empty());
  Type(edit, u"ab");
  Key(edit, keys::kLeft);
  Type(edit, u"\x04");  // Ctrl-D on a line deletes under the cursor
  EXPECT_EQ(edit.Text(), u"a");
  Type(edit, u"\x15");  // Ctrl-U
  EXPECT_EQ(Type(edit, u"\x04"), EditResult::kEndOfInput);
  // Ctrl-Z is shown as ^Z, and Enter on a line that begins with it ends the input.
  Type(edit, u"\x1a");
  EXPECT_EQ(edit.View().text, u"^Z");
  EXPECT_EQ(edit.View().cursor, 2u);
  EXPECT_EQ(Key(edit, keys::kReturn), EditResult::kEndOfInput);

  LineEdit completing;
  EXPECT_EQ(Key(completing, keys::kTab), EditResult::kUnchanged);  // no completion: nothing
  std::vector<std::string> asked;
  completing.SetCompletion([&](const std::string& before) {
    asked.push_back(before);
    std::vector<std::string> found;
    for (const char* name : {":to goblin", ":to gold", ":to lantern"}) {
      if (std::string(name).compare(0, before.size(), before) == 0) found.push_back(name);
    }
    return found;
  });
  Type(completing, u":to g rest");
  for (int i = 0; i < 5; ++i) Key(completing, keys::kLeft);
  EXPECT_EQ(Key(completing, keys::kTab), EditResult::kChanged);  // the common part
  EXPECT_EQ(completing.Text(), u":to go rest");
  EXPECT_EQ(Key(completing, keys::kTab), EditResult::kCandidates);
  EXPECT_EQ(completing.Candidates(), (std::vector<std::string>{":to goblin", ":to gold"}));
  Type(completing, u"b\t");
  EXPECT_EQ(completing.Text(), u":to goblin rest");
  EXPECT_EQ(completing.Cursor(), 10u);
  EXPECT_EQ(asked, (std::vector<std::string>{":to g", ":to go", ":to gob"}));
}

}  // namespace
}  // namespace qc::attach
