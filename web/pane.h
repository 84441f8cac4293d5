// The console side of the page: one pane is one connection to one object's console, run on a
// thread of its own with the client core's blocking calls; what it learns goes to the page as
// JSON messages (messages.h) through an emitter. The lister is the pane without an object: it
// answers the page's requests for the consoles' listing.
//
// A typed line's way through quillaret-web's three threads:
// 1. Beast's thread (server.cpp, the one thread of every HTTP connection and WebSocket) reads
//    the page's message {"t":"line","text":...}, and hands the text to the pane (Submit): it
//    is queued under the pane's lock and the pane's thread woken. Beast's thread never waits
//    on a console.
// 2. The pane's thread (Pane::Run) takes the queue, splits it into lines, keeps each in the
//    template's history file and sends it to the console (a blocking send, bounded by the
//    client core's time limits), then waits for the console's lines, at most kPollMillis at a
//    time, so that the page's next message waits no longer.
// 3. The console's loop, in the game's process, queues the line for the game; the game takes
//    it in a frame and the console echoes it, with the game's answers, to every developer.
// Back on the pane's thread the echo and the answers are read, escaped, batched and emitted;
// the emitter posts each message onto Beast's thread, which writes it to the page's socket in
// order. While more than kCongestedBytes wait unsent for the page, the pane stops reading its
// console, and the console's own back pressure holds the rest.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/word_store.h"

namespace qc::web {

struct ConsoleSettings {
  std::string host;
  int basePort = 0;
};

// The console password, once the environment or the page gave it: shared by every pane, kept
// in memory only, never sent to the page, and forgotten when a console refuses it.
class SharedPassword {
 public:
  void Set(const std::string& password, bool fromEnvironment = false);
  bool Get(std::string& password) const;
  // A console refused tried: forgotten when it is the one kept (another pane may have been
  // given a better one meanwhile). True when that was the environment's QUILLARET_PASSWORD.
  bool Refuse(const std::string& tried);

 private:
  mutable std::mutex lock_;
  std::string password_;
  bool known_ = false;
  bool fromEnvironment_ = false;
};

// Takes one message for the page (called on the pane's thread).
using Emitter = std::function<void(std::string message)>;
// Whether the page's connection has too much unsent: the pane stops reading the console
// meanwhile, so the console's own back pressure holds the rest.
using CongestionProbe = std::function<bool()>;

class Pane : public std::enable_shared_from_this<Pane> {
 public:
  // Starts the pane's thread. object: a template name or a GoID; "" for the lister. Null when
  // kMaxPanes panes (or kMaxListers listers) run already.
  static std::shared_ptr<Pane> Start(const ConsoleSettings& settings, SharedPassword& password,
                                     std::string object, Emitter emit, CongestionProbe congested);

  // What the page asks, from any thread: a line to send, the password asked for, a new
  // listing (the lister), the history, completions of a text, and leaving with [quit]
  // (nothing is emitted after it).
  void Submit(std::string line);
  void GivePassword(std::string password);
  void Refresh();
  void AskHistory();
  void AskCompletion(std::string text);
  void Close();

  Pane(const ConsoleSettings& settings, SharedPassword& password, std::string object, Emitter emit,
       CongestionProbe congested);

 private:
  void Run();
  void RunLister();
  void RunConsole();
  attach::OpenResult Attach();
  void Adopt(const attach::Attached& attached, const std::vector<attach::SpawnRow>& rows);
  bool AskPassword(std::string& secret);
  attach::PasswordSource PasswordFor();
  void Settle(const attach::PasswordSource& source, attach::OpenResult result);
  void Answer();
  void SendQueued();
  void Keep(const std::string& line);
  void ReceiveLines();
  struct Batch;
  void Show(const std::string& raw, Batch& batch);
  void Flush(Batch& batch);
  void EmitState(const std::string& state, int retryMillis = -1);
  bool Waiting() const;
  bool Closing();
  void Log(const std::string& text);
  void Pause(int millis);

  const ConsoleSettings settings_;
  SharedPassword& password_;
  Emitter emit_;
  CongestionProbe congested_;

  mutable std::mutex lock_;  // guards what the page hands over, below
  std::condition_variable wake_;
  std::deque<std::string> outbox_;
  std::string givenPassword_;
  bool passwordGiven_ = false;
  bool refresh_ = true;
  bool historyAsked_ = false;
  std::deque<std::string> completions_;
  bool closing_ = false;

  // The pane's thread only.
  const bool lister_;
  std::string object_;  // what the pane attaches by: a template name when unique, else a GoID
  std::string label_;   // how the log names the pane
  attach::ConsoleLink link_;
  bool left_ = false;     // the developer typed [quit]: no attaching again
  bool refused_ = false;  // the last password given was refused
  std::string historyPath_;
  std::string lastKept_;
  attach::WordStore words_;  // the template's words, which Tab on the page completes from
  std::deque<std::string> awaitingEcho_;
  std::int64_t partialSince_ = -1;
};

// Asks every pane to leave, then waits at most millis for their threads to end. True when all
// ended.
bool CloseAllPanes(int millis);

}  // namespace qc::web
