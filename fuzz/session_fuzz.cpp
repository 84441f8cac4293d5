// A whole client session (the console protocol) fed arbitrary sequences of received pieces, each
// piece one receive of the session, as a TCP segment read whole would be. Checked
// against the line rules of line_model.h, applied to what telnet command removal keeps of each
// piece (FilterTelnet, whose own rules its unit tests check): what the session pushes for the
// host (every message once, in order, to a host that takes everything each turn), what it sends
// back (welcome, refusals of telnet requests, overflow notices, listings, farewell), and that it
// leaves the client list empty.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

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
// What one session receives at most: enough for a line at the limit or an overflow, with lines
// and commands around it. Every byte costs the filter's and the line's instrumented work (a
// session's cost is its bytes): this keeps an input's cost small. Pieces past it are cut. A
// second overflow in one session would follow the same path as the first: its notice is never
// folded here, and the line starts afresh after each.
constexpr std::size_t kSessionBytes = qc::fuzz::kMaxPieceBytes + 4096;
constexpr const char* kConnected = "QC_OK: 0.0.0.0 connected (Port 30000, GoID: 7)";
constexpr const char* kDisconnected = "QC_OK: 0.0.0.0 disconnected (Port 30000, GoID: 7)";
constexpr const char* kOverflow = "QC_ERROR: Buffer overflow detected from client (IP: 0.0.0.0)";

// What the session must hand the host, in order, and the check of what it handed: each
// message the host takes is compared as it is taken, so no copy of a 64 KiB message is kept.
class PushedMessages {
 public:
  void Clear() {
    count_ = 0;
    taken_ = 0;
    mismatch_ = false;
  }
  void Add(std::string_view text) {
    if (count_ == texts_.size()) texts_.emplace_back();
    texts_[count_++].assign(text);
  }
  // The message at position `at` among those taken (oldest first) was text.
  void Took(std::size_t at, const char* text) {
    if (at >= count_ || texts_[at] != text) mismatch_ = true;
  }
  void Taken(std::size_t count) { taken_ += count; }
  std::size_t Count() const { return count_; }
  std::size_t TakenCount() const { return taken_; }
  bool Mismatch() const { return mismatch_; }

 private:
  std::vector<std::string> texts_;  // the strings keep their blocks from input to input
  std::size_t count_ = 0;
  std::size_t taken_ = 0;
  bool mismatch_ = false;
};

// One registered server, and a connection without a socket, named 0.0.0.0 as an address
// that cannot be read. Made once: the console record alone holds 6.4 MiB of message slots, and
// every block the harness needs is kept from input to input, so an input costs the session's
// own work and no trip of large blocks through the allocator (and AddressSanitizer's
// quarantine, whose churn of large blocks of every size drove the resident memory past 2 GB).
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

  // Runs a session over the pieces as the console's loop would, with a host that takes
  // everything each turn, and returns what it sends; each message the host takes is checked
  // against pushed, oldest first.
  const std::string& Exchange(const std::vector<const std::string*>& pieces,
                              PushedMessages& pushed) {
    qc::ClientState* client = qc::NewClientState(-1);
    qc::CopyText(client->Address, sizeof client->Address, "0.0.0.0");
    qc::ClientState* const connections[] = {client};
    // A second between pieces: overflows are never frequent enough to be folded here.
    qc::SessionContext context{server_,     0, scratch_, &batch_,
                               connections, 1, &gate_,   notices_.get()};
    qc::BeginSession(context, *client);
    replies_.clear();
    for (const std::string* bytes : pieces) {
      context.Now += 1000;
      Drain(context, *client, pushed);
      if (client->Phase != qc::ClientPhase::kListed) break;  // the session ended
      QC_FUZZ_CHECK(qc::WantsInput(context, *client));
      char* const piece = Place(*bytes);
      client->Input.CommandsLeft = qc::kCommandsPerTurn;
      qc::TakeInput(context, *client, piece, bytes->size());
      Unplace();
      // Later turns handle what this one left; each handles a line at least.
      for (int turn = 0; turn < 70000 && client->Input.Line.Ready > 0 &&
                         client->Phase == qc::ClientPhase::kListed;
           ++turn) {
        Drain(context, *client, pushed);
        client->Input.CommandsLeft = qc::kCommandsPerTurn;
        qc::RunInputLines(context, *client);
      }
      QC_FUZZ_CHECK(client->Input.Line.Ready == 0 || client->Phase != qc::ClientPhase::kListed);
      QC_FUZZ_CHECK(client->Output.Drop == qc::ClientDrop::kNone);
    }
    if (client->Phase == qc::ClientPhase::kListed) qc::EndSession(context, *client);
    Drain(context, *client, pushed);
    qc::DeleteClientState(client);
    return replies_;
  }

 private:
  // The piece is copied to the end of one block kept for every piece, with the filter's extra
  // byte, and the part of the block before it is made unaddressable: a read past the piece
  // meets the block's end, a read before it the poisoned part, as with a block of exactly its
  // size.
  char* Place(const std::string& bytes) {
    char* const piece = piece_.get() + (kPieceBlock - bytes.size() - 1);
    std::memcpy(piece, bytes.data(), bytes.size());
    piece[bytes.size()] = '\0';
    ASAN_POISON_MEMORY_REGION(piece_.get(), static_cast<std::size_t>(piece - piece_.get()));
    return piece;
  }
  void Unplace() { ASAN_UNPOISON_MEMORY_REGION(piece_.get(), kPieceBlock); }

  // A turn of the loop and of the host: the client's output is read, the stack emptied. The
  // stack gives the newest first: the i-th of n popped is the (n - i)-th oldest.
  void Drain(qc::SessionContext& context, qc::ClientState& client, PushedMessages& pushed) {
    qc::test::AppendQueued(client.Output.Queue, replies_);
    {
      qc::MutexHold hold(server_->StateLock);
      const std::size_t first = pushed.TakenCount();
      const auto count = static_cast<std::size_t>(server_->PendingCount.load());
      for (std::size_t i = 0; i < count; ++i) {
        QC_FUZZ_CHECK(qc::PopPending(*server_, popped_));
        pushed.Took(first + count - 1 - i, popped_);
      }
      QC_FUZZ_CHECK(!qc::PopPending(*server_, popped_));
      pushed.Taken(count);
    }
    qc::PushWaitingNotices(context);
  }

  static constexpr std::size_t kPieceBlock = qc::fuzz::kMaxPieceBytes + 1;

  qc::ConsoleServer* server_;
  char* scratch_;
  char* popped_ = new char[qc::kTextBytes];
  std::unique_ptr<char[]> piece_{new char[kPieceBlock]};
  std::string replies_;
  qc::InboxBatch batch_{};
  qc::RefusalNotices gate_{};
  std::unique_ptr<qc::WaitingNotices> notices_{new qc::WaitingNotices{}};
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
  // Everything an input needs is made once; each input clears it.
  static Harness* const harness = new Harness;
  static auto* const decoded = new std::vector<std::string>;
  static auto* const pieces = new std::vector<const std::string*>;
  static auto* const pushed = new PushedMessages;
  static auto* const model = new LineModel;
  static auto* const kept = new std::string;
  static auto* const expected = new std::string;
  Input in(data, size);
  const std::size_t count = DecodePieces(in, 160, kMaxPieceBytes, *decoded, kSessionBytes);
  pieces->clear();
  for (std::size_t i = 0; i < count; ++i) {
    // A zero-length message would read as the end of the stream; TCP never delivers one.
    if (!(*decoded)[i].empty()) pieces->push_back(&(*decoded)[i]);
  }

  // What the session must do with these pieces.
  expected->assign(Stamped("QC_OK: Welcome to the Team Quillaret development console, v0.1\r\n"));
  pushed->Clear();
  pushed->Add(kConnected);
  model->Reset();
  qc::TelnetState telnet{};
  bool quit = false;
  for (const std::string* piece : *pieces) {
    kept->assign(*piece);
    // Outside a command, as at the start, a piece without a 0xFF byte is all data: the filter
    // keeps it as it is (the runs of a byte make most pieces such).
    if (telnet.Phase != qc::TelnetState{}.Phase || piece->find('\xFF') != std::string::npos) {
      kept->push_back('\0');  // room for a 0xFF held back from the piece before
      kept->resize(qc::FilterTelnet(telnet, &(*kept)[0], piece->size(), AppendTo, expected));
    }
    const LineModel::Outcome outcome = model->Add(*kept);
    if (outcome.overflowed) {
      pushed->Add(kOverflow);
      *expected += Stamped(std::string(kOverflow) + "\r\n");
    }
    if (!outcome.complete) continue;
    // Commands are answered in place; the other lines up to a command go as one message, or
    // in pieces cut after a line feed when they hold more than a message; what followed the
    // last line feed waits for its line end. The lines are read from `at` on.
    const std::string& text = model->Line();
    const std::string_view view(text);
    std::size_t at = 0;
    const std::size_t end = text.rfind('\n') + 1;
    while (at < end) {
      const ModelCommand command = CommandOf(view.substr(at));
      if (command != ModelCommand::kNone) {
        at = text.find('\n', at) + 1;
        if (command == ModelCommand::kQuit) {
          *expected += Stamped("QC_OK: Disconnecting from Team Quillaret development console\r\n");
          quit = true;
          break;
        }
        if (command == ModelCommand::kWho) {
          *expected += Stamped(
              "QC_OK: Currently connected clients (Port: 30000, GoID: 7, TemplateName: fuzz)\r\n");
          *expected += Stamped("QC_OK: [01]\t0.0.0.0\r\n") + Stamped("QC_OK: End of list\r\n");
        } else {
          *expected += Stamped("QC_OK: Currently spawned servers\r\n");
          *expected += Stamped("QC_OK: [01]\tPort: 30000, GoID: 7, TemplateName: fuzz\r\n");
          *expected += Stamped("QC_OK: End of list\r\n");
        }
        continue;
      }
      std::size_t run = at;
      // (Every command begins with '['; a line that does not is looked at no further.)
      while (run < end && (run == at || text[run] != '[' ||
                           CommandOf(view.substr(run)) == ModelCommand::kNone)) {
        run = text.find('\n', run) + 1;
      }
      if (run - at > kMaxLineChars) run = text.rfind('\n', at + kMaxLineChars - 1) + 1;
      pushed->Add(view.substr(at, run - at));
      at = run;
    }
    if (quit) break;
    model->KeepFrom(at);
  }
  pushed->Add(kDisconnected);

  const std::string& replies = harness->Exchange(*pieces, *pushed);

  if (!MatchesPattern(*expected, replies)) {
    std::fprintf(stderr, "expected %zu bytes:\n%s\nreceived %zu bytes:\n%s\n", expected->size(),
                 expected->substr(0, 2000).c_str(), replies.size(),
                 replies.substr(0, 2000).c_str());
    QC_FUZZ_CHECK(MatchesPattern(*expected, replies));
  }
  // Every message once, in order: the host took each before the stack could fill.
  qc::ConsoleServer& server = harness->server();
  QC_FUZZ_CHECK(server.ClientCount == 0);
  QC_FUZZ_CHECK(server.PendingCount.load() == 0);
  QC_FUZZ_CHECK(pushed->TakenCount() == pushed->Count());
  QC_FUZZ_CHECK(!pushed->Mismatch());
  return 0;
}
