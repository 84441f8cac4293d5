// The demo host's dispatch: notices to the log, report calls to report notices, everything else
// to the evaluator, and every answer back to the right console. The first tests replace the
// console-side entry points with a scripted stand-in and keep the library's own CheckSysMsg and
// CheckReportMsg; the last ones drive the real library over loopback.
#include "demo/console_host.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "demo/base_port.h"
#include "free_ports.h"
#include "exports/host_fixture.h"
#include "loader/host_loader.h"
#include "support/test_support.h"
#include "support/ports.h"

namespace qc::demo {
namespace {

// The console side, scripted: texts waiting per GoID (a stack, as in the library), and a record
// of every spawn and broadcast.
struct ScriptedConsoles {
  bool refuseSpawns = false;
  bool spawnConfirm = true;
  int takenPort = -1;   // the port that cannot be opened
  int silentPort = -1;  // the port a console never opens
  std::vector<std::pair<unsigned, std::string>> spawns;
  std::map<unsigned, std::vector<std::string>> waiting;  // back() is the newest
  std::vector<std::pair<unsigned, std::string>> broadcasts;
  std::string result;
};
ScriptedConsoles* consoles = nullptr;

bool ScriptedSpawn(unsigned goid, char* name) {
  if (consoles->refuseSpawns) return false;
  consoles->spawns.emplace_back(goid, name);
  return true;
}
void ScriptedBroadcast(unsigned goid, char* text) { consoles->broadcasts.emplace_back(goid, text); }
const char* ScriptedNext(unsigned goid) {
  std::vector<std::string>& stack = consoles->waiting[goid];
  if (stack.empty()) return "";
  consoles->result = stack.back();
  stack.pop_back();
  return consoles->result.c_str();
}
const char* ScriptedAttachment(unsigned goid) {
  consoles->result =
      "Dev console attached to object\n\nGoID: " + std::to_string(goid) + "\nTemplateName: goblin";
  return consoles->result.c_str();
}
bool ScriptedConfirm(unsigned) { return consoles->spawnConfirm; }
bool ScriptedCanListen(std::uint16_t port) { return int{port} != consoles->takenPort; }
bool ScriptedListening(std::uint16_t port) { return int{port} != consoles->silentPort; }
constexpr PortProbes kScriptedProbes{ScriptedCanListen, ScriptedListening};

class ConsoleHostTest : public ::testing::Test {
 protected:
  ConsoleHostTest() {
    consoles = &scripted_;
    api_ = test::Console();
    api_.SpawnServer = ScriptedSpawn;
    api_.BroadcastMsg = ScriptedBroadcast;
    api_.GetNextMessage = ScriptedNext;
    api_.TestDLL = ScriptedAttachment;
    api_.GetFlagConfirm = ScriptedConfirm;
  }
  ~ConsoleHostTest() override { consoles = nullptr; }

  void SpawnDemoObjects(ConsoleHost& host) {
    std::string error;
    ASSERT_TRUE(host.Spawn(42, "goblin", 40000, error)) << error;
    ASSERT_TRUE(host.Spawn(7, "chest", 40000, error)) << error;
  }

  // Everything broadcast so far, as (GoID, text) pairs, then forgotten.
  std::vector<std::pair<unsigned, std::string>> TakeBroadcasts() {
    return std::exchange(scripted_.broadcasts, {});
  }

  ScriptedConsoles scripted_;
  loader::ConsoleApi api_{};
  std::ostringstream log_;
};

using Sent = std::vector<std::pair<unsigned, std::string>>;

TEST_F(ConsoleHostTest, SpawnsEachObjectAndComputesItsPort) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  std::string error;
  ASSERT_TRUE(host.Spawn(42, "goblin", 40000, error));
  ASSERT_TRUE(host.Spawn(7, "chest", 40000, error));
  ASSERT_TRUE(host.Spawn(9, "lantern", 50000, error));  // BasePort changed between spawns
  ASSERT_TRUE(host.Spawn(10, "wisp", 65533, error));    // 65533 + 3 wraps to 0
  ASSERT_EQ(host.Objects().size(), 4u);
  EXPECT_EQ(host.Objects()[0].port, 40000);
  EXPECT_EQ(host.Objects()[1].port, 40001);
  EXPECT_EQ(host.Objects()[2].port, 50002);
  EXPECT_EQ(host.Objects()[3].port, 0);
  EXPECT_EQ(scripted_.spawns, (Sent{{42, "goblin"}, {7, "chest"}, {9, "lantern"}, {10, "wisp"}}));
  EXPECT_NE(host.world().FindObject(7), nullptr);

  EXPECT_FALSE(host.Spawn(42, "again", 40000, error));
  EXPECT_EQ(error, "GoID 42 already has a console");
  EXPECT_EQ(scripted_.spawns.size(), 4u);
}

TEST_F(ConsoleHostTest, RefusesToSpawnOnATakenPort) {
  scripted_.takenPort = 40001;
  ConsoleHost host(api_, log_, kScriptedProbes);
  std::string error;
  ASSERT_TRUE(host.Spawn(42, "goblin", 40000, error));
  EXPECT_FALSE(host.Spawn(7, "chest", 40000, error));
  EXPECT_NE(error.find("port 40001 for GoID 7 (chest) is taken"), std::string::npos) << error;
  EXPECT_NE(error.find("BasePort"), std::string::npos) << error;
  EXPECT_EQ(scripted_.spawns, (Sent{{42, "goblin"}}));
  EXPECT_EQ(host.Objects().size(), 1u);
}

TEST_F(ConsoleHostTest, ReportsAConsoleThatDoesNotOpenItsPort) {
  scripted_.silentPort = 40000;
  ConsoleHost host(api_, log_, kScriptedProbes);
  std::string error;
  EXPECT_FALSE(host.Spawn(42, "goblin", 40000, error));
  EXPECT_EQ(error,
            "the console for GoID 42 (goblin) did not open port 40000; the library's message on "
            "standard error says why");
  EXPECT_EQ(scripted_.spawns, (Sent{{42, "goblin"}}));
}

TEST_F(ConsoleHostTest, ReportsASpawnTheLibraryRefuses) {
  scripted_.refuseSpawns = true;
  ConsoleHost host(api_, log_, kScriptedProbes);
  std::string error;
  EXPECT_FALSE(host.Spawn(42, "goblin", 40000, error));
  EXPECT_NE(error.find("SpawnServer(42, \"goblin\") failed"), std::string::npos) << error;
  EXPECT_TRUE(host.Objects().empty());
  EXPECT_EQ(host.world().FindObject(42), nullptr);
}

TEST_F(ConsoleHostTest, LogsNoticesAndShowsTheAttachmentToNewDevelopers) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  scripted_.waiting[42] = {"QC_OK: 127.0.0.1 connected (Port -25536, GoID: 42)"};
  EXPECT_EQ(host.RunFrame(), 1);
  EXPECT_NE(log_.str().find("[GoID 42] notice: QC_OK: 127.0.0.1 connected (Port -25536, GoID: 42)"),
            std::string::npos)
      << log_.str();
  // Notices: the console ends them with CR LF itself.
  const std::string hint =
      "QC_OK: quillaret-host runs your script lines here; Help() lists what it understands";
  EXPECT_EQ(TakeBroadcasts(), (Sent{{42, "QC_OK: Dev console attached to object"},
                                    {42, "QC_OK: GoID: 42"},
                                    {42, "QC_OK: TemplateName: goblin"},
                                    {42, hint}}));

  // Other notices are only logged; without the spawn-confirm flag the attachment is left out.
  scripted_.spawnConfirm = false;
  scripted_.waiting[42] = {"QC_OK: 127.0.0.1 connected (Port -25536, GoID: 42)",
                           "QC_ERROR: Buffer overflow detected from client (IP: 127.0.0.1)",
                           "QC_OK: 127.0.0.1 disconnected (Port -25536, GoID: 42)"};
  EXPECT_EQ(host.RunFrame(), 3);
  EXPECT_EQ(TakeBroadcasts(), (Sent{{42, hint}}));
  EXPECT_NE(log_.str().find("notice: QC_ERROR: Buffer overflow"), std::string::npos);
  EXPECT_NE(log_.str().find("notice: QC_OK: 127.0.0.1 disconnected"), std::string::npos);
}

TEST_F(ConsoleHostTest, AnswersLinesOnTheirOwnConsoleWithLineEnds) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  scripted_.waiting[42] = {"MakeGoid(42).Get(\"health\")\n"};
  scripted_.waiting[7] = {"MakeGoid(7).Get(\"gold\")\r\n"};
  EXPECT_EQ(host.RunFrame(), 2);
  EXPECT_EQ(TakeBroadcasts(), (Sent{{42, "health = 30\r\n"}, {7, "gold = 120\r\n"}}));

  // Errors are notices: the console ends them with CR LF itself.
  scripted_.waiting[7] = {"Fly()\r\n"};
  host.RunFrame();
  const Sent sent = TakeBroadcasts();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, 7u);
  EXPECT_EQ(sent[0].second.rfind("QC_ERROR: unknown function Fly()", 0), 0u) << sent[0].second;
  EXPECT_NE(sent[0].second.back(), '\n');

  // A line without a line end (the last piece of a connection), a blank line and a lone CR LF.
  scripted_.waiting[42] = {"MakeGoid(42).GoID()", "   \r\n", "\r\n", "\n"};
  host.RunFrame();
  EXPECT_EQ(TakeBroadcasts(), (Sent{{42, "42\r\n"}}));
  EXPECT_NE(log_.str().find("[GoID 42] run: MakeGoid(42).Get(\"health\")\n"), std::string::npos);
  EXPECT_NE(log_.str().find("[GoID 42] answer: health = 30\n"), std::string::npos);
}

TEST_F(ConsoleHostTest, RunsEveryLineOfAPastedPieceInOrder) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  scripted_.waiting[42] = {
      "MakeGoid(42).Set(\"health\", 5)\r\nMakeGoid(42).Add(\"health\", 1)\r\nTypo(\r\n"};
  host.RunFrame();
  const Sent sent = TakeBroadcasts();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].second, "health = 5 (was 30)\r\n");
  EXPECT_EQ(sent[1].second, "health = 6 (was 5)\r\n");
  EXPECT_EQ(sent[2].second.rfind("QC_ERROR: not understood at column 6", 0), 0u);
}

TEST_F(ConsoleHostTest, RunsTheTextsOfOneFrameOldestFirst) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  // Typed in this order; the console hands over the newest first.
  scripted_.waiting[42] = {"QC_OK: 127.0.0.1 connected (Port -25536, GoID: 42)",
                           "MakeGoid(42).Set(\"health\", 1)\n", "MakeGoid(42).Get(\"health\")\n"};
  EXPECT_EQ(host.RunFrame(), 3);
  const Sent sent = TakeBroadcasts();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].second, "QC_OK: Dev console attached to object");
  EXPECT_EQ(sent[4].second, "health = 1 (was 30)\r\n");
  EXPECT_EQ(sent[5].second, "health = 1\r\n");
  EXPECT_EQ(host.RunFrame(), 0);
}

TEST_F(ConsoleHostTest, TurnsReportCallsIntoReportNotices) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  scripted_.waiting[42] = {"report.info(\"hello\")\r\n", "REPORT.Warn(\"Low \\\"oil\\\"\")\n",
                           "report.x(\"\")\n"};
  host.RunFrame();
  // Run oldest first; the third is too short for a report call and reaches the evaluator.
  const Sent sent = TakeBroadcasts();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], (std::pair<unsigned, std::string>{42, "QC_REPORT: hello"}));
  EXPECT_EQ(sent[1].second, "QC_REPORT: Low \\\"oil\\\"");
  EXPECT_EQ(sent[2].second.rfind("QC_ERROR: not understood at column 1: a report call needs", 0),
            0u)
      << sent[2].second;
  EXPECT_NE(log_.str().find("[GoID 42] report: QC_REPORT: hello\n"), std::string::npos);
}

TEST_F(ConsoleHostTest, EscapesControlCharactersInTheLog) {
  ConsoleHost host(api_, log_, kScriptedProbes);
  SpawnDemoObjects(host);
  scripted_.waiting[42] = {"\x1b[2J\n"};
  host.RunFrame();
  EXPECT_EQ(log_.str().find('\x1b'), std::string::npos);
  EXPECT_NE(log_.str().find("run: \\x1b[2J"), std::string::npos) << log_.str();
}

TEST(ReportNoticeTest, TakesTheQuotedTextOfTheReport) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"QC_REPORT: hello\")", "QC_REPORT: hello"},
      {"\"QC_REPORT: ", "QC_REPORT: "},
      {"\"QC_REPORT: \"", "QC_REPORT: "},
      {"\"QC_REPORT: hp\", 5)", "QC_REPORT: hp"},
      {"\"QC_REPORT: a \\\"b\\\" c\")", "QC_REPORT: a \\\"b\\\" c"},
      {"\"QC_REPORT: ends in \\", "QC_REPORT: ends in \\"},
  };
  for (const auto& [report, notice] : cases) EXPECT_EQ(ReportNotice(report), notice) << report;
}

// The whole road with the real library: the host announces the right port, a developer attaches
// there, and the host answers what the developer typed.
TEST(ConsoleHostWithLibraryTest, AnswersADeveloperOnTheAnnouncedPort) {
  const std::uint16_t first = test::FreePorts(test::kDemoHostFirst, 1);
  // Spawned second: BasePort + 1.
  const std::uint16_t second = test::FreePorts(test::kDemoHostSecond, 2);
  test::WriteProfile(test::ProfileWithPort(first));
  std::ostringstream log;
  ConsoleHost host(test::Console(), log);
  std::string error;
  ASSERT_TRUE(host.Spawn(42, "goblin", ReadBasePort(loader::ConsoleProfilePath()), error)) << error;
  test::WriteProfile(test::ProfileWithPort(second));
  ASSERT_TRUE(host.Spawn(7, "chest", ReadBasePort(loader::ConsoleProfilePath()), error)) << error;
  EXPECT_EQ(host.Objects()[0].port, first);
  EXPECT_EQ(host.Objects()[1].port, second + 1);

  test::LoopbackClient developer;
  ASSERT_TRUE(developer.Connect(host.Objects()[1].port));
  ASSERT_NE(developer.ReadUntil("v0.1\r\n"), "");
  const auto runUntil = [&](const std::string& needle) {
    std::string seen;
    test::WaitUntil([&] {
      host.RunFrame();
      seen += developer.ReadFor(20);
      return seen.find(needle) != std::string::npos;
    });
    return seen;
  };
  EXPECT_NE(runUntil(" QC_OK: TemplateName: chest\r\n").find(" QC_OK: GoID: 7\r\n"),
            std::string::npos);

  ASSERT_TRUE(developer.Send("[this].Set(\"gold\", [that](42).Get(\"strength\"))\r\n"));
  const std::string answer = runUntil("gold = 4 (was 120)\r\n");
  EXPECT_NE(answer.find(" QC_MSG: [this].Set(\"gold\", [that](42).Get(\"strength\"))\r\n"),
            std::string::npos)
      << answer;
  ASSERT_TRUE(developer.Send("report.info(\"opened\")\n"));
  EXPECT_NE(runUntil(" QC_REPORT: opened\r\n"), "");
  EXPECT_NE(
      log.str().find("[GoID 7] run: MakeGoid(7).Set(\"gold\", MakeGoid(42).Get(\"strength\"))"),
      std::string::npos)
      << log.str();
}

}  // namespace
}  // namespace qc::demo
