// The console side of the page: one pane is one connection to one object's console, run on a
// thread of its own with the client core's blocking calls; what it learns goes to the page as
// JSON texts through an emitter. The lister is the pane without an object: it answers the
// page's requests for the consoles' listing.
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

namespace qc::web {

// How long a pane waits for the console's lines before it looks at what the page sent, and how
// many lines (about) go to the page in one message.
constexpr int kPollMillis = 20;
constexpr std::size_t kLinesPerMessage = 512;
// Lines sent whose echoes are awaited, at most (older ones are forgotten).
constexpr std::size_t kAwaitedEchoes = 256;

struct ConsoleSettings {
  std::string host;
  int basePort = 0;
};

// The console password, once the environment or the page gave it and a console took it: shared
// by every pane, kept in memory only, never sent to the page.
class SharedPassword {
 public:
  void Set(const std::string& password);
  void Clear();
  bool Get(std::string& password) const;

 private:
  mutable std::mutex lock_;
  std::string password_;
  bool known_ = false;
};

// Takes one JSON text for the page (called on the pane's thread).
using Emitter = std::function<void(std::string json)>;
// Whether the page's connection has too much unsent: the pane stops reading the console
// meanwhile, so the console's own back pressure holds the rest.
using CongestionProbe = std::function<bool()>;

class Pane : public std::enable_shared_from_this<Pane> {
 public:
  // Starts the pane's thread. object: a template name or a GoID; "" for the lister.
  static std::shared_ptr<Pane> Start(const ConsoleSettings& settings, SharedPassword& password,
                                     std::string object, Emitter emit, CongestionProbe congested);

  // What the page asks, from any thread: a line to send, the password asked for, a new
  // listing (the lister), and leaving with [quit] (nothing is emitted after it).
  void Submit(std::string line);
  void GivePassword(std::string password);
  void Refresh();
  void Close();

  Pane(const ConsoleSettings& settings, SharedPassword& password, std::string object,
       Emitter emit, CongestionProbe congested);

 private:
  void Run();
  void RunLister();
  void RunConsole();
  attach::OpenResult Attach();
  bool AskPassword(std::string& secret);
  attach::PasswordSource PasswordFor();
  void Settle(const attach::PasswordSource& source, attach::OpenResult result);
  void SendQueued();
  void ReceiveLines();
  void Show(const std::string& raw, std::string& batch, std::size_t& count);
  void Flush(std::string& batch, std::size_t& count);
  void EmitState(const std::string& state, const std::string& extra);
  bool Closing();
  void Log(const std::string& text);
  void Pause(int millis);

  const ConsoleSettings settings_;
  SharedPassword& password_;
  const std::string object_;
  Emitter emit_;
  CongestionProbe congested_;

  std::mutex lock_;  // guards what the page hands over, below
  std::condition_variable wake_;
  std::deque<std::string> outbox_;
  std::string givenPassword_;
  bool passwordGiven_ = false;
  bool refresh_ = true;
  bool closing_ = false;

  // The pane's thread only.
  attach::ConsoleLink link_;
  bool left_ = false;  // the developer typed [quit]: no attaching again
  std::deque<std::string> awaitingEcho_;
  std::int64_t partialSince_ = -1;
};

// Asks every pane to leave, then waits at most millis for their threads to end. True when all
// ended.
bool CloseAllPanes(int millis);

// One "[spawns]" row as JSON: {"port":P,"goid":G,"name":"..."}.
std::string RowJson(const attach::SpawnRow& row);

}  // namespace qc::web
