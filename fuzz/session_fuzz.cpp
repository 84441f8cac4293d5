// A whole client session (ServeClient) fed arbitrary sequences of received pieces. The pieces
// travel through a socket pair that keeps message boundaries (AF_UNIX, SOCK_SEQPACKET), so each
// piece is exactly one receive of the session, as a TCP segment read whole would be. Checked
// against the line rules of line_model.h, applied to what telnet command removal keeps of each
// piece (FilterTelnet, whose own rules its unit tests check): what the session pushes for the
// host (newest 100, exactly), what it sends back (welcome, refusals of telnet requests, overflow
// notices, listings, farewell), and that it leaves the client list empty.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "common/locks.h"
#include "server/console_server.h"
#include "line_model.h"
#include "net/session.h"
#include "net/telnet.h"

namespace {

using qc::fuzz::ModelCommand;

constexpr std::uint32_t kGoid = 7;
constexpr const char* kConnected = "QC_OK: 0.0.0.0 connected (Port 30000, GoID: 7)";
constexpr const char* kDisconnected = "QC_OK: 0.0.0.0 disconnected (Port 30000, GoID: 7)";
constexpr const char* kOverflow = "QC_ERROR: Buffer overflow detected from client (IP: 0.0.0.0)";

// One registered server and one worker thread that serves whatever socket it is handed.
// A Unix socket has no IPv4 peer, so the session names its client 0.0.0.0.
class Harness {
 public:
  Harness() {
    server_ = qc::NewConsoleServer(kGoid, "fuzz");
    server_->Port = 30000;
    qc::ServerRegistry& registry = qc::Registry();
    registry.Servers[0] = server_;
    registry.GoIDs[0] = kGoid;
    registry.Count.store(1, std::memory_order_release);  // overflow notices find it by GoID
    buffers_ = new qc::SessionBuffers;
    std::thread([this] { Work(); }).detach();
  }

  qc::ConsoleServer& server() { return *server_; }

  void Serve(int socket) {
    std::lock_guard<std::mutex> hold(mutex_);
    client_ = socket;
    done_ = false;
    changed_.notify_all();
  }

  bool WaitDone() {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(30), [this] { return done_; });
  }

 private:
  void Work() {
    for (;;) {
      int socket;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [this] { return client_ >= 0; });
        socket = client_;
        client_ = -1;
      }
      qc::ServeClient(*server_, socket, *buffers_);
      std::lock_guard<std::mutex> hold(mutex_);
      done_ = true;
      changed_.notify_all();
    }
  }

  qc::ConsoleServer* server_;
  qc::SessionBuffers* buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int client_ = -1;
  bool done_ = false;
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

// Writes the pieces, one message each, while reading everything the session sends; ends the
// stream after the last piece and returns the replies once the session has closed its side.
std::string Exchange(int feeder, const std::vector<std::string>& pieces) {
  std::string replies;
  std::size_t next = 0;
  bool writing = true;
  if (pieces.empty()) {
    ::shutdown(feeder, SHUT_WR);
    writing = false;
  }
  static char buffer[1 << 17];
  for (;;) {
    pollfd entry{feeder, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    const int ready = ::poll(&entry, 1, 30000);
    if (ready < 0 && errno == EINTR) continue;  // libFuzzer's time-out alarm, every 31 s
    if (ready <= 0) {
      std::fprintf(stderr, "stalled: %zu of %zu pieces written, %zu bytes of replies\n", next,
                   pieces.size(), replies.size());
    }
    QC_FUZZ_CHECK(ready > 0);  // the session never stalls
    if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(feeder, buffer, sizeof buffer, MSG_DONTWAIT);
      // A session that closes with pieces still unread (after "[quit]") makes the next receive
      // here fail once with ECONNRESET, ahead of the replies still queued; those follow.
      if (n > 0) {
        replies.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != ECONNRESET)) {
        return replies;  // the session closed the connection
      }
    }
    if (writing && (entry.revents & POLLOUT)) {
      const std::string& piece = pieces[next];
      const ssize_t n = ::send(feeder, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        QC_FUZZ_CHECK(static_cast<std::size_t>(n) == piece.size());
        if (++next == pieces.size()) {
          ::shutdown(feeder, SHUT_WR);
          writing = false;
        }
      } else if (errno != EAGAIN && errno != EINTR) {
        writing = false;  // the session has gone (after "[quit]")
      }
    }
  }
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
    switch (CommandOf(model.Line())) {
      case ModelCommand::kQuit:
        expected += Stamped("QC_OK: Disconnecting from Team Quillaret development console\r\n");
        quit = true;
        break;
      case ModelCommand::kWho:
        expected += Stamped(
            "QC_OK: Currently connected clients (Port: 30000, GoID: 7, TemplateName: fuzz)\r\n");
        expected += Stamped("QC_OK: [01]\t0.0.0.0\r\n") + Stamped("QC_OK: End of list\r\n");
        break;
      case ModelCommand::kSpawns:
        expected += Stamped("QC_OK: Currently spawned servers\r\n");
        expected += Stamped("QC_OK: [01]\tPort: 30000, GoID: 7, TemplateName: fuzz\r\n");
        expected += Stamped("QC_OK: End of list\r\n");
        break;
      case ModelCommand::kNone:
        pushed.push_back(model.Line());
        break;
    }
    model.Reset();
    if (quit) break;
  }
  pushed.push_back(kDisconnected);
  while (pushed.size() > static_cast<std::size_t>(qc::kMaxPending)) pushed.pop_front();

  int pair[2];
  QC_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0);
  const int bufferBytes = 1 << 20;
  ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  harness->Serve(pair[0]);
  const std::string replies = Exchange(pair[1], pieces);
  ::close(pair[1]);
  QC_FUZZ_CHECK(harness->WaitDone());

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
