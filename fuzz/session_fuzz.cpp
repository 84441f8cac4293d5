// A whole client session (the console protocol) fed arbitrary sequences of received pieces, each
// piece one receive of the session, as a TCP segment read whole would be. Checked
// against the line rules of line_model.h, applied to what telnet command removal keeps of each
// piece (FilterTelnet, whose own rules its unit tests check): what the session pushes for the
// host (newest 100, exactly), what it sends back (welcome, refusals of telnet requests, overflow
// notices, listings, farewell), and that it leaves the client list empty.
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>

#include "common/fixed_text.h"
#include "common/locks.h"
#include "line_model.h"
#include "net/client.h"
#include "net/protocol.h"
#include "net/telnet.h"
#include "server/console_server.h"
#include "support/queued_output.h"

namespace {

using qc::fuzz::ModelCommand;

constexpr std::uint32_t kGoid = 7;
constexpr const char* kConnected = "QC_OK: 0.0.0.0 connected (Port 30000, GoID: 7)";
constexpr const char* kDisconnected = "QC_OK: 0.0.0.0 disconnected (Port 30000, GoID: 7)";
constexpr const char* kOverflow = "QC_ERROR: Buffer overflow detected from client (IP: 0.0.0.0)";

// One registered server, and a connection without a socket, named 0.0.0.0 as an address
// that cannot be read.
class Harness {
 public:
  Harness() {
    server_ = qc::NewConsoleServer(kGoid, "fuzz");
    server_->Port = 30000;
    qc::ServerRegistry& registry = qc::Registry();
    registry.Servers[0] = server_;
    registry.GoIDs[0] = kGoid;
    registry.Count.store(1, std::memory_order_release);  // overflow notices find it by GoID
    scratch_ = new char[qc::kTextBytes];
  }

  qc::ConsoleServer& server() { return *server_; }

  // Runs a session over the pieces as the console's loop would, and returns what it sends.
  std::string Exchange(const std::vector<std::string>& pieces) {
    qc::ClientState* client = qc::NewClientState(-1);
    qc::CopyText(client->Address, sizeof client->Address, "0.0.0.0");
    qc::ClientState* const connections[] = {client};
    qc::SessionContext context{server_, 0, scratch_, &batch_, connections, 1, &gate_};
    qc::BeginSession(context, *client);
    std::string replies;
    for (const std::string& bytes : pieces) {
      if (!qc::WantsInput(*client)) break;  // the session ended
      // The piece sits in a block of exactly its size and the filter's extra byte.
      std::unique_ptr<char[]> piece(new char[bytes.size() + 1]);
      std::memcpy(piece.get(), bytes.data(), bytes.size());
      qc::TakeInput(context, *client, piece.get(), bytes.size());
      QC_FUZZ_CHECK(client->Drop == qc::ClientDrop::kNone);
      replies += qc::test::TakeQueued(client->Output);
    }
    if (client->Phase == qc::ClientPhase::kListed) qc::EndSession(context, *client);
    replies += qc::test::TakeQueued(client->Output);
    qc::DeleteClientState(client);
    return replies;
  }

 private:
  qc::ConsoleServer* server_;
  char* scratch_;
  qc::InboxBatch batch_{};
  qc::PasswordGate gate_{};
};

void AppendTo(void* text, const char* bytes, std::size_t length) {
  static_cast<std::string*>(text)->append(bytes, length);
}

// A line sent to the client: a time stamp, one space, the text. '#' stands for a digit (or for
// itself: a refused telnet option may be the byte '#').
std::string Stamped(const std::string& text) { return "##:##:## " + text; }

bool MatchesPattern(const std::string& pattern, const std::string& text) {
  if (pattern.size() != text.size()) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '#' ? !digit && text[i] != '#' : pattern[i] != text[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qc::fuzz;
  static Harness* const harness = new Harness;
  Input in(data, size);
  std::vector<std::string> pieces;
  for (std::string& piece : DecodePieces(in, 160, kMaxPieceBytes)) {
    // A zero-length message would read as the end of the stream; TCP never delivers one.
    if (!piece.empty()) pieces.push_back(std::move(piece));
  }

  // What the session must do with these pieces.
  std::string expected = Stamped("QC_OK: Welcome to the Team Quillaret development console, v0.1\r\n");
  std::deque<std::string> pushed{kConnected};
  LineModel model;
  qc::TelnetState telnet{};
  bool quit = false;
  for (const std::string& piece : pieces) {
    std::string kept = piece + '\0';  // room for a 0xFF held back from the piece before
    kept.resize(qc::FilterTelnet(telnet, &kept[0], piece.size(), AppendTo, &expected));
    const LineModel::Outcome outcome = model.Add(kept);
    if (outcome.overflowed) {
      pushed.push_back(kOverflow);
      expected += Stamped(std::string(kOverflow) + "\r\n");
    }
    if (!outcome.complete) continue;
    // Without a command among the complete lines the whole text is one message, its unfinished
    // tail included; otherwise commands are answered in place, runs of other lines pushed
    // whole, and the tail waits for its line end.
    const std::string text = model.Line();
    const std::size_t complete = text.rfind('\n') + 1;
    std::vector<std::string> lines;
    bool anyCommand = false;
    for (std::size_t at = 0; at < complete;) {
      const std::size_t end = text.find('\n', at) + 1;
      lines.push_back(text.substr(at, end - at));
      anyCommand = anyCommand || CommandOf(lines.back()) != ModelCommand::kNone;
      at = end;
    }
    if (!anyCommand) {
      pushed.push_back(text);
      model.Reset();
      continue;
    }
    std::string run;
    for (const std::string& line : lines) {
      const ModelCommand command = CommandOf(line);
      if (command == ModelCommand::kNone) {
        run += line;
        continue;
      }
      if (!run.empty()) pushed.push_back(run);
      run.clear();
      if (command == ModelCommand::kQuit) {
        expected += Stamped("QC_OK: Disconnecting from Team Quillaret development console\r\n");
        quit = true;
        break;
      }
      if (command == ModelCommand::kWho) {
        expected += Stamped(
            "QC_OK: Currently connected clients (Port: 30000, GoID: 7, TemplateName: fuzz)\r\n");
        expected += Stamped("QC_OK: [01]\t0.0.0.0\r\n") + Stamped("QC_OK: End of list\r\n");
      } else {
        expected += Stamped("QC_OK: Currently spawned servers\r\n");
        expected += Stamped("QC_OK: [01]\tPort: 30000, GoID: 7, TemplateName: fuzz\r\n");
        expected += Stamped("QC_OK: End of list\r\n");
      }
    }
    if (quit) break;
    if (!run.empty()) pushed.push_back(run);
    model.Keep(text.substr(complete));
  }
  pushed.push_back(kDisconnected);
  while (pushed.size() > static_cast<std::size_t>(qc::kMaxPending)) pushed.pop_front();

  const std::string replies = harness->Exchange(pieces);

  if (!MatchesPattern(expected, replies)) {
    std::fprintf(stderr, "expected %zu bytes:\n%s\nreceived %zu bytes:\n%s\n", expected.size(),
                 expected.substr(0, 2000).c_str(), replies.size(), replies.substr(0, 2000).c_str());
    QC_FUZZ_CHECK(MatchesPattern(expected, replies));
  }
  qc::ConsoleServer& server = harness->server();
  qc::MutexHold hold(server.StateLock);
  QC_FUZZ_CHECK(server.ClientCount == 0);
  QC_FUZZ_CHECK(server.PendingCount.load() == static_cast<int>(pushed.size()));
  static char* const popped = new char[qc::kTextBytes];
  while (!pushed.empty()) {
    qc::PopPending(server, popped);
    QC_FUZZ_CHECK(pushed.back() == popped);
    pushed.pop_back();
  }
  QC_FUZZ_CHECK(server.PendingCount.load() == 0);
  return 0;
}
