// A pane's thread: attach by name, pass the console's lines to the page, send the page's lines,
// attach again with back-off when the console goes away, leave with [quit] when closed.
#include "web/pane.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "client/core/history.h"
#include "client/core/platform.h"
#include "client/core/session.h"
#include "web/limits.h"
#include "web/lookup.h"
#include "web/messages.h"

namespace qc::web {
namespace {

namespace json = boost::json;
using attach::OpenResult;

// Every pane whose thread runs, for CloseAllPanes and the limits on panes and listers.
std::mutex panesLock;
std::condition_variable panesEnded;
std::vector<std::weak_ptr<Pane>> panes;
int runningPanes = 0;
int runningListers = 0;

const char* KindName(attach::LineKind kind) {
  switch (kind) {
    case attach::LineKind::kMessage:
      return "msg";
    case attach::LineKind::kOk:
      return "ok";
    case attach::LineKind::kError:
      return "error";
    case attach::LineKind::kReport:
      return "report";
    case attach::LineKind::kOther:
      break;
  }
  return "other";
}

const char* StateOfFailure(OpenResult result) {
  switch (result) {
    case OpenResult::kPasswordRefused:
      return "refused";
    case OpenResult::kNotFound:
      return "missing";
    case OpenResult::kAmbiguous:
      return "ambiguous";
    default:
      break;
  }
  return "reconnecting";
}

// One line on standard output: where the program's user sees what it does.
void WriteLog(const std::string& text) {
  const std::string line = "quillaret-web: " + text + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

struct Pane::Batch {
  json::array lines;
};

void SharedPassword::Set(const std::string& password, bool fromEnvironment) {
  std::lock_guard<std::mutex> hold(lock_);
  password_ = password;
  known_ = true;
  fromEnvironment_ = fromEnvironment;
}

bool SharedPassword::Get(std::string& password) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (known_) password = password_;
  return known_;
}

bool SharedPassword::Refuse(const std::string& tried) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!known_ || password_ != tried) return false;
  const bool fromEnvironment = fromEnvironment_;
  password_.assign(password_.size(), '\0');
  password_.clear();
  known_ = false;
  fromEnvironment_ = false;
  return fromEnvironment;
}

Pane::Pane(const ConsoleSettings& settings, SharedPassword& password, std::string object,
           Emitter emit, CongestionProbe congested)
    : settings_(settings),
      password_(password),
      emit_(std::move(emit)),
      congested_(std::move(congested)),
      lister_(object.empty()),
      object_(std::move(object)),
      label_(lister_ ? "list" : "pane " + attach::EscapeControlBytes(object_)) {}

std::shared_ptr<Pane> Pane::Start(const ConsoleSettings& settings, SharedPassword& password,
                                  std::string object, Emitter emit, CongestionProbe congested) {
  auto pane = std::make_shared<Pane>(settings, password, std::move(object), std::move(emit),
                                     std::move(congested));
  {
    std::lock_guard<std::mutex> hold(panesLock);
    int& running = pane->lister_ ? runningListers : runningPanes;
    if (running >= (pane->lister_ ? kMaxListers : kMaxPanes)) return nullptr;
    panes.erase(std::remove_if(panes.begin(), panes.end(),
                               [](const std::weak_ptr<Pane>& p) { return p.expired(); }),
                panes.end());
    panes.push_back(pane);
    ++running;
  }
  std::thread([pane] { pane->Run(); }).detach();
  return pane;
}

bool CloseAllPanes(int millis) {
  std::unique_lock<std::mutex> hold(panesLock);
  for (const std::weak_ptr<Pane>& weak : panes) {
    if (auto pane = weak.lock()) pane->Close();
  }
  return panesEnded.wait_for(hold, std::chrono::milliseconds(millis),
                             [] { return runningPanes + runningListers == 0; });
}

void Pane::Submit(std::string line) {
  std::lock_guard<std::mutex> hold(lock_);
  outbox_.push_back(std::move(line));
  wake_.notify_all();
}

void Pane::GivePassword(std::string password) {
  // One line: whatever followed a line end would reach the console as a line of its own.
  password.erase(std::min(password.find_first_of("\r\n"), password.size()));
  // Offered to every pane as well: the form the developer answered may be this pane's while
  // another pane holds the lookup's turn and waits for a password. One a console refuses is
  // forgotten again (SharedPassword::Refuse).
  password_.Set(password);
  std::lock_guard<std::mutex> hold(lock_);
  givenPassword_ = std::move(password);
  passwordGiven_ = true;
  wake_.notify_all();
}

void Pane::Refresh() {
  std::lock_guard<std::mutex> hold(lock_);
  refresh_ = true;
  wake_.notify_all();
}

void Pane::AskHistory() {
  std::lock_guard<std::mutex> hold(lock_);
  historyAsked_ = true;
  wake_.notify_all();
}

void Pane::AskCompletion(std::string text) {
  std::lock_guard<std::mutex> hold(lock_);
  completions_.push_back(std::move(text));
  wake_.notify_all();
}

void Pane::Close() {
  std::lock_guard<std::mutex> hold(lock_);
  closing_ = true;
  wake_.notify_all();
}

bool Pane::Closing() {
  std::lock_guard<std::mutex> hold(lock_);
  return closing_;
}

// Whether the page handed over something the pane's thread has not looked at (lock_ held).
bool Pane::Waiting() const {
  return closing_ || !outbox_.empty() || historyAsked_ || !completions_.empty();
}

void Pane::Pause(int millis) {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait_for(hold, std::chrono::milliseconds(std::max(millis, 0)),
                 [this] { return Waiting(); });
}

void Pane::Run() {
  if (lister_) {
    RunLister();
  } else {
    RunConsole();
  }
  // Nothing more for the page; the emitter may hold the page's connection.
  emit_ = nullptr;
  congested_ = nullptr;
  std::lock_guard<std::mutex> hold(panesLock);
  --(lister_ ? runningListers : runningPanes);
  panesEnded.notify_all();
}

void Pane::EmitState(const std::string& state, int retryMillis) {
  json::object message{{"t", "state"}, {"state", state}};
  if (retryMillis >= 0) message["retry"] = retryMillis;
  if (state == "password") message["again"] = refused_;
  emit_(Serialize(message));
}

attach::PasswordSource Pane::PasswordFor() {
  attach::PasswordSource source;
  source.known = password_.Get(source.password);
  source.ask = [this](std::string& secret) { return AskPassword(secret); };
  return source;
}

// After an attempt: a password a console took is kept for every pane; one it refused is
// forgotten, so the next attempt asks the page again. One given when the console had already
// closed the connection (a developer slower than its time limit) is kept for this pane's next
// attempt.
void Pane::Settle(const attach::PasswordSource& source, OpenResult result) {
  if (result == OpenResult::kPasswordRefused) {
    refused_ = true;
    if (source.known && password_.Refuse(source.password)) {
      WriteLog("the consoles refused the password in QUILLARET_PASSWORD; the page asks for it");
    }
  } else if (result == OpenResult::kOpen && source.known) {
    refused_ = false;
    password_.Set(source.password);
  } else if (result == OpenResult::kBroken && source.known) {
    std::lock_guard<std::mutex> hold(lock_);
    givenPassword_ = source.password;
    passwordGiven_ = true;
  }
}

// Asks the page (and waits) until it gives a password, another pane's console took one, or
// the pane is closed.
bool Pane::AskPassword(std::string& secret) {
  EmitState("password");
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    if (closing_) return false;
    if (passwordGiven_) {
      secret = std::move(givenPassword_);
      givenPassword_.clear();
      passwordGiven_ = false;
      return true;
    }
    hold.unlock();
    const bool known = password_.Get(secret);
    hold.lock();
    if (known) return true;
    wake_.wait_for(hold, std::chrono::milliseconds(kPasswordLookMillis));
  }
}

void Pane::RunLister() {
  emit_(Serialize({{"t", "hello"}, {"host", settings_.host}, {"basePort", settings_.basePort}}));
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold, [this] { return closing_ || refresh_; });
      if (closing_) return;
      refresh_ = false;
    }
    attach::PasswordSource source = PasswordFor();
    std::vector<attach::SpawnRow> rows;
    const OpenResult result = ListConsoles(settings_.host, settings_.basePort, source, rows);
    Settle(source, result);
    if (Closing()) return;
    if (result == OpenResult::kOpen) {
      emit_(Serialize({{"t", "rows"}, {"rows", RowsArray(rows)}}));
    } else if (result == OpenResult::kPasswordRefused) {
      // Asked again at once: the page shows its form again, saying the last one was wrong.
      Refresh();
    } else {
      emit_(Serialize({{"t", "rows"}, {"rows", nullptr}, {"why", "unreachable"}}));
    }
  }
}

OpenResult Pane::Attach() {
  EmitState("looking");
  attach::PasswordSource source = PasswordFor();
  attach::Attached attached;
  std::vector<attach::SpawnRow> rows;
  const OpenResult result =
      OpenConsole(settings_.host, settings_.basePort, object_, source, link_, attached, rows);
  Settle(source, result);
  if (result != OpenResult::kOpen) return result;
  Adopt(attached, rows);
  Batch batch;
  for (const std::string& raw : attached.early) Show(raw, batch);
  Flush(batch);
  awaitingEcho_.clear();
  partialSince_ = -1;
  return OpenResult::kOpen;
}

// Takes on what the attach learned: the pane is named and kept by its template name from now
// on (by its GoID when another console has the same name, so that attaching again after the
// game restarts finds this object wherever its console then is), and its history is the
// template's, shared with quillaret-attach.
void Pane::Adopt(const attach::Attached& attached, const std::vector<attach::SpawnRow>& rows) {
  const attach::SpawnRow& own = attached.own;
  std::string key = ":" + std::to_string(link_.Port());
  if (attached.ownKnown) {
    key = own.templateName;
    const std::vector<attach::SpawnRow> named = attach::MatchObject(rows, own.templateName);
    object_ = named.size() == 1 && named.front().port == own.port ? own.templateName
                                                                  : std::to_string(own.printedGoid);
    label_ = "pane " + attach::EscapeControlBytes(own.templateName);
  }
  const std::string stateFolder = attach::UserStateFolder();
  historyPath_ = attach::HistoryPath(stateFolder, key);
  // The words are quillaret-attach's for the same template: its file, and the typed lines of
  // the history (learned without being written again, since they are in their own file).
  const std::vector<std::string> history = attach::ReadHistory(historyPath_);
  attach::LoadWords(words_, attach::WordsPath(stateFolder, key));
  const std::string wordsPath = std::move(words_.path);
  words_.path.clear();
  for (const std::string& line : history) (void)attach::LearnWords(words_, line);
  words_.path = wordsPath;
  Log("attached to port " + std::to_string(own.port) + " (GoID " + std::to_string(own.printedGoid) +
      ")");
  emit_(Serialize(
      {{"t", "state"}, {"state", "attached"}, {"row", RowObject(own)}, {"rows", RowsArray(rows)}}));
  emit_(HistoryMessage(history));
}

void Pane::RunConsole() {
  int retryMillis = attach::kFirstRetryMillis;
  std::int64_t retryAt = 0;
  while (!Closing()) {
    Answer();
    if (left_) {
      Pause(kLeftPauseMillis);
      std::lock_guard<std::mutex> hold(lock_);
      outbox_.clear();
      continue;
    }
    if (!link_.IsOpen()) {
      const std::int64_t now = attach::NowMillis();
      if (now < retryAt) {
        Pause(static_cast<int>(retryAt - now));
        std::lock_guard<std::mutex> hold(lock_);
        if (!outbox_.empty()) {
          outbox_.clear();
          emit_(NoteMessage("not attached: the line was not sent"));
        }
        continue;
      }
      const OpenResult result = Attach();
      if (result == OpenResult::kOpen) {
        retryMillis = attach::kFirstRetryMillis;
        continue;
      }
      if (Closing()) break;
      EmitState(StateOfFailure(result), retryMillis);
      // A refused password is asked for again at once; anything else waits, longer each time.
      retryAt = attach::NowMillis() + (result == OpenResult::kPasswordRefused ? 0 : retryMillis);
      retryMillis = std::min(retryMillis * 2, attach::kLongestRetryMillis);
      continue;
    }
    SendQueued();
    if (link_.IsOpen()) ReceiveLines();
  }
  if (link_.IsOpen()) {
    const std::uint16_t port = link_.Port();
    const bool farewell = attach::LeaveConsole(link_, attach::kDefaultReplyMillis, nullptr);
    Log("left port " + std::to_string(port) +
        (farewell ? " with [quit]" : " with [quit], without the console's farewell"));
  }
}

// The page's questions about the history and completions, answered on the pane's thread,
// which alone reads the files.
void Pane::Answer() {
  bool history = false;
  std::deque<std::string> completions;
  {
    std::lock_guard<std::mutex> hold(lock_);
    history = historyAsked_;
    historyAsked_ = false;
    completions.swap(completions_);
  }
  if (history) emit_(HistoryMessage(attach::ReadHistory(historyPath_)));
  for (const std::string& text : completions) {
    std::size_t start = 0;
    std::vector<std::string> words;
    if (attach::FindWordToComplete(text, start)) {
      (void)attach::CompleteWord(words_, std::string_view(text).substr(start), words);
    } else {
      start = text.size();
    }
    emit_(CompletionMessage(std::string_view(text).substr(start), words));
  }
}

void Pane::Log(const std::string& text) { WriteLog(label_ + ": " + text); }

// A line sent is kept in the template's history file as quillaret-attach keeps it, unless it
// repeats the line kept last.
void Pane::Keep(const std::string& line) {
  (void)attach::LearnWords(words_, line);
  if (line == lastKept_) return;
  lastKept_ = line;
  (void)attach::AppendHistory(historyPath_, line);
}

void Pane::SendQueued() {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> hold(lock_);
    lines.swap(outbox_);
  }
  for (std::string& line : lines) {
    // One line a message: a pasted text with line ends goes as its lines.
    std::size_t begin = 0;
    while (begin <= line.size()) {
      std::size_t end = line.find_first_of("\r\n", begin);
      if (end == std::string::npos) end = line.size();
      const std::string one = line.substr(begin, end - begin);
      begin = end + 1;
      if (one.empty()) continue;
      Keep(one);
      if (attach::MatchConsoleCommand(one) == attach::ConsoleCommand::kQuit) {
        std::vector<std::string> farewell;
        const std::uint16_t port = link_.Port();
        (void)attach::LeaveConsole(link_, attach::kDefaultReplyMillis, &farewell);
        Log("left port " + std::to_string(port) + ": [quit] was typed");
        Batch batch;
        for (const std::string& raw : farewell) Show(raw, batch);
        Flush(batch);
        left_ = true;
        EmitState("left");
        return;
      }
      if (!link_.SendLine(one)) return;
      awaitingEcho_.push_back(one);
      if (awaitingEcho_.size() > kAwaitedEchoes) awaitingEcho_.pop_front();
    }
  }
}

void Pane::ReceiveLines() {
  if (congested_ && congested_()) {
    Pause(kPollMillis);
    return;
  }
  char buffer[kReceiveChunkBytes];
  Batch batch;
  bool lost = false;
  // What is there now, up to a bounded amount, after a short wait for the first piece.
  int wait = kPollMillis;
  for (std::size_t chunk = 0; chunk < kChunksPerTurn; ++chunk) {
    const int n = attach::ReceiveBytes(link_.Handle(), buffer, sizeof buffer, wait);
    if (n < 0) lost = true;
    if (n <= 0) break;
    link_.Lines().Add(buffer, static_cast<std::size_t>(n));
    wait = 0;
    for (std::string raw; link_.Lines().TakeLine(raw);) Show(raw, batch);
    if (batch.lines.size() >= kLinesPerMessage) Flush(batch);
  }
  for (std::string raw; link_.Lines().TakeLine(raw);) Show(raw, batch);
  // A host's text without a line end is shown once it has waited a while for the rest.
  if (link_.Lines().HasPartial()) {
    if (partialSince_ < 0) partialSince_ = attach::NowMillis();
    if (lost || attach::NowMillis() - partialSince_ >= attach::kPartialLineMillis) {
      std::string partial;
      if (link_.Lines().TakePartial(partial)) Show(partial, batch);
      partialSince_ = -1;
    }
  } else {
    partialSince_ = -1;
  }
  Flush(batch);
  if (lost) {
    Log("lost port " + std::to_string(link_.Port()) + "; attaching again by name");
    link_.Close();
    EmitState("reconnecting", 0);
  }
}

void Pane::Show(const std::string& raw, Batch& batch) {
  const attach::ConsoleLine line = attach::ParseLine(raw);
  const char* kind = KindName(line.kind);
  if (line.kind == attach::LineKind::kMessage) {
    for (auto sent = awaitingEcho_.begin(); sent != awaitingEcho_.end(); ++sent) {
      if (attach::IsEchoOf(line, *sent)) {
        kind = "echo";
        awaitingEcho_.erase(sent);
        break;
      }
    }
  }
  // A message's tag is shown by its style; the notices keep theirs, as the console sent them.
  // The console's own notices and listings name no calls of the game; the rest teaches the
  // words Tab completes, as in quillaret-attach.
  if (!attach::IsPresenceNotice(line) &&
      attach::ClassifyListingLine(line) == attach::ListingPart::kNone) {
    (void)attach::LearnWords(words_, line.body);
  }
  std::string_view body = line.body;
  if (line.kind == attach::LineKind::kMessage) body.remove_prefix(attach::kMessageTag.size());
  batch.lines.push_back(json::array{json::string(attach::EscapeControlBytes(line.stamp)), kind,
                                    json::string(attach::EscapeControlBytes(body))});
}

void Pane::Flush(Batch& batch) {
  if (batch.lines.empty()) return;
  emit_(Serialize({{"t", "lines"}, {"lines", std::move(batch.lines)}}));
  batch.lines = json::array();
}

}  // namespace qc::web
