// A pane's thread: attach by name, pass the console's lines to the page, send the page's lines,
// attach again with back-off when the console goes away, leave with [quit] when closed.
#include "web/pane.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "client/core/session.h"
#include "web/access.h"
#include "web/lookup.h"

namespace qc::web {
namespace {

using attach::OpenResult;

// Every pane whose thread runs, for CloseAllPanes.
std::mutex panesLock;
std::condition_variable panesEnded;
std::vector<std::weak_ptr<Pane>> panes;
int runningPanes = 0;

const char* KindName(attach::LineKind kind) {
  switch (kind) {
    case attach::LineKind::kMessage: return "msg";
    case attach::LineKind::kOk: return "ok";
    case attach::LineKind::kError: return "error";
    case attach::LineKind::kReport: return "report";
    case attach::LineKind::kOther: break;
  }
  return "other";
}

const char* StateOfFailure(OpenResult result) {
  switch (result) {
    case OpenResult::kPasswordRefused: return "refused";
    case OpenResult::kNotFound: return "missing";
    case OpenResult::kAmbiguous: return "ambiguous";
    default: break;
  }
  return "reconnecting";
}

std::string RowsJson(const std::vector<attach::SpawnRow>& rows) {
  std::string json = "[";
  for (const attach::SpawnRow& row : rows) {
    if (json.size() > 1) json += ',';
    json += RowJson(row);
  }
  return json + "]";
}

}  // namespace

std::string RowJson(const attach::SpawnRow& row) {
  return "{\"port\":" + std::to_string(row.port) + ",\"goid\":" +
         std::to_string(row.printedGoid) + ",\"name\":" +
         JsonText(attach::EscapeControlBytes(row.templateName)) + "}";
}

void SharedPassword::Set(const std::string& password) {
  std::lock_guard<std::mutex> hold(lock_);
  password_ = password;
  known_ = true;
}

void SharedPassword::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  password_.assign(password_.size(), '\0');
  password_.clear();
  known_ = false;
}

bool SharedPassword::Get(std::string& password) const {
  std::lock_guard<std::mutex> hold(lock_);
  if (known_) password = password_;
  return known_;
}

Pane::Pane(const ConsoleSettings& settings, SharedPassword& password, std::string object,
           Emitter emit, CongestionProbe congested)
    : settings_(settings),
      password_(password),
      object_(std::move(object)),
      emit_(std::move(emit)),
      congested_(std::move(congested)) {}

std::shared_ptr<Pane> Pane::Start(const ConsoleSettings& settings, SharedPassword& password,
                                  std::string object, Emitter emit,
                                  CongestionProbe congested) {
  auto pane = std::make_shared<Pane>(settings, password, std::move(object), std::move(emit),
                                     std::move(congested));
  {
    std::lock_guard<std::mutex> hold(panesLock);
    panes.erase(std::remove_if(panes.begin(), panes.end(),
                               [](const std::weak_ptr<Pane>& p) { return p.expired(); }),
                panes.end());
    panes.push_back(pane);
    ++runningPanes;
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
                             [] { return runningPanes == 0; });
}

void Pane::Submit(std::string line) {
  std::lock_guard<std::mutex> hold(lock_);
  outbox_.push_back(std::move(line));
  wake_.notify_all();
}

void Pane::GivePassword(std::string password) {
  // One line: whatever followed a line end would reach the console as a line of its own.
  password.erase(std::min(password.find_first_of("\r\n"), password.size()));
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

void Pane::Close() {
  std::lock_guard<std::mutex> hold(lock_);
  closing_ = true;
  wake_.notify_all();
}

bool Pane::Closing() {
  std::lock_guard<std::mutex> hold(lock_);
  return closing_;
}

void Pane::Pause(int millis) {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait_for(hold, std::chrono::milliseconds(std::max(millis, 0)),
                 [this] { return closing_ || !outbox_.empty(); });
}

void Pane::Run() {
  if (object_.empty()) {
    RunLister();
  } else {
    RunConsole();
  }
  // Nothing more for the page; the emitter may hold the page's connection.
  emit_ = nullptr;
  congested_ = nullptr;
  std::lock_guard<std::mutex> hold(panesLock);
  --runningPanes;
  panesEnded.notify_all();
}

void Pane::EmitState(const std::string& state, const std::string& extra) {
  emit_("{\"t\":\"state\",\"state\":\"" + state + "\"" + extra + "}");
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
    password_.Clear();
  } else if (result == OpenResult::kOpen && source.known) {
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
  EmitState("password", "");
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
    wake_.wait_for(hold, std::chrono::milliseconds(100));
  }
}

void Pane::RunLister() {
  emit_("{\"t\":\"hello\",\"host\":" + JsonText(settings_.host) +
        ",\"basePort\":" + std::to_string(settings_.basePort) + "}");
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
      emit_("{\"t\":\"rows\",\"rows\":" + RowsJson(rows) + "}");
    } else {
      emit_(std::string("{\"t\":\"rows\",\"rows\":null,\"why\":\"") +
            (result == OpenResult::kPasswordRefused ? "refused" : "unreachable") + "\"}");
    }
  }
}

OpenResult Pane::Attach() {
  EmitState("looking", "");
  attach::PasswordSource source = PasswordFor();
  attach::Attached attached;
  std::vector<attach::SpawnRow> rows;
  const OpenResult result =
      OpenConsole(settings_.host, settings_.basePort, object_, source, link_, attached, rows);
  Settle(source, result);
  if (result != OpenResult::kOpen) return result;
  const attach::SpawnRow& own = attached.own;
  Log("attached to port " + std::to_string(own.port) + " (GoID " +
      std::to_string(own.printedGoid) + ")");
  EmitState("attached", ",\"row\":" + RowJson(own) + ",\"rows\":" + RowsJson(rows));
  std::string batch;
  std::size_t count = 0;
  for (const std::string& raw : attached.early) Show(raw, batch, count);
  Flush(batch, count);
  awaitingEcho_.clear();
  partialSince_ = -1;
  return OpenResult::kOpen;
}

void Pane::RunConsole() {
  int retryMillis = attach::kFirstRetryMillis;
  std::int64_t retryAt = 0;
  while (!Closing()) {
    if (left_) {
      Pause(1000);
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
          emit_("{\"t\":\"note\",\"text\":\"not attached: the line was not sent\"}");
        }
        continue;
      }
      const OpenResult result = Attach();
      if (result == OpenResult::kOpen) {
        retryMillis = attach::kFirstRetryMillis;
        continue;
      }
      if (Closing()) break;
      EmitState(StateOfFailure(result), ",\"retry\":" + std::to_string(retryMillis));
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

// One line on standard output about the pane: where the program's user sees what it does.
void Pane::Log(const std::string& text) {
  const std::string line =
      "quillaret-web: pane " + attach::EscapeControlBytes(object_) + ": " + text + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
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
      if (attach::MatchConsoleCommand(one) == attach::ConsoleCommand::kQuit) {
        std::vector<std::string> farewell;
        const std::uint16_t port = link_.Port();
        (void)attach::LeaveConsole(link_, attach::kDefaultReplyMillis, &farewell);
        Log("left port " + std::to_string(port) + ": [quit] was typed");
        std::string batch;
        std::size_t count = 0;
        for (const std::string& raw : farewell) Show(raw, batch, count);
        Flush(batch, count);
        left_ = true;
        EmitState("left", "");
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
  char buffer[16384];
  std::string batch;
  std::size_t count = 0;
  bool lost = false;
  // What is there now, up to a bounded amount, after a short wait for the first piece.
  int wait = kPollMillis;
  for (std::size_t taken = 0; taken < 64 * sizeof buffer;) {
    const int n = attach::ReceiveBytes(link_.Handle(), buffer, sizeof buffer, wait);
    if (n < 0) lost = true;
    if (n <= 0) break;
    link_.Lines().Add(buffer, static_cast<std::size_t>(n));
    taken += static_cast<std::size_t>(n);
    wait = 0;
    for (std::string raw; link_.Lines().TakeLine(raw);) Show(raw, batch, count);
    if (count >= kLinesPerMessage) Flush(batch, count);
  }
  for (std::string raw; link_.Lines().TakeLine(raw);) Show(raw, batch, count);
  // A host's text without a line end is shown once it has waited a while for the rest.
  if (link_.Lines().HasPartial()) {
    if (partialSince_ < 0) partialSince_ = attach::NowMillis();
    if (lost || attach::NowMillis() - partialSince_ >= attach::kPartialLineMillis) {
      std::string partial;
      if (link_.Lines().TakePartial(partial)) Show(partial, batch, count);
      partialSince_ = -1;
    }
  } else {
    partialSince_ = -1;
  }
  Flush(batch, count);
  if (lost) {
    Log("lost port " + std::to_string(link_.Port()) + "; attaching again by name");
    link_.Close();
    EmitState("reconnecting", ",\"retry\":0");
  }
}

void Pane::Show(const std::string& raw, std::string& batch, std::size_t& count) {
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
  std::string_view body = line.body;
  if (line.kind == attach::LineKind::kMessage) body.remove_prefix(attach::kMessageTag.size());
  batch += count == 0 ? "[" : ",";
  batch += "[" + JsonText(line.stamp) + ",\"" + kind + "\"," +
           JsonText(attach::EscapeControlBytes(body)) + "]";
  ++count;
}

void Pane::Flush(std::string& batch, std::size_t& count) {
  if (count == 0) return;
  emit_("{\"t\":\"lines\",\"lines\":" + batch + "]}");
  batch.clear();
  count = 0;
}

}  // namespace qc::web
