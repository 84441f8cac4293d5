// The interactive session's logic: what arrives, what is shown, and attaching again.
#include "client/session.h"

#include <algorithm>

namespace qc::attach {
namespace {

constexpr std::size_t kMaxAwaitedEchoes = 100;

std::string Describe(const SpawnRow& row) {
  return EscapeControlBytes(row.templateName) + " (GoID " + std::to_string(row.printedGoid) +
         ") on port " + std::to_string(row.port);
}

}  // namespace

InteractiveSession::InteractiveSession(const Options& options, int basePort,
                                       PasswordSource& password, bool colour)
    : options_(options), basePort_(basePort), password_(password), colour_(colour) {}

OpenResult InteractiveSession::AttachFirst() {
  return AttachTo(options_.host, basePort_, options_.object, password_, link_, attached_);
}

void InteractiveSession::Start(Display& display) {
  display_ = &display;
  // A password asked for again (the game restarted with a new one) needs the terminal.
  if (password_.ask) {
    password_.ask = [ask = password_.ask, &display](std::string& secret) {
      display.PauseEditing(true);
      const bool given = ask(secret);
      display.PauseEditing(false);
      return given;
    };
  }
  for (const std::string& raw : attached_.early) ShowReceived(raw);
  attached_.early.clear();
  OnReadable();
}

int InteractiveSession::MillisToTimer() const {
  std::int64_t next = -1;
  if (retryAt_ >= 0) next = retryAt_;
  if (partialAt_ >= 0 && (next < 0 || partialAt_ < next)) next = partialAt_;
  if (next < 0) return -1;
  return static_cast<int>(std::max<std::int64_t>(0, next - NowMillis()));
}

void InteractiveSession::OnReadable() {
  if (!link_.IsOpen()) return;
  const bool alive = link_.Pump();
  for (std::string raw; link_.Lines().TakeLine(raw);) ShowReceived(raw);
  partialAt_ = link_.Lines().HasPartial() ? NowMillis() + kPartialLineMillis : -1;
  if (!alive) {
    std::string rest;
    if (link_.Lines().TakePartial(rest)) ShowReceived(rest);
    Detach();
  }
}

void InteractiveSession::OnTimer() {
  const std::int64_t now = NowMillis();
  if (partialAt_ >= 0 && now >= partialAt_) {
    std::string partial;
    if (link_.Lines().TakePartial(partial)) ShowReceived(partial);
    partialAt_ = -1;
  }
  if (retryAt_ >= 0 && now >= retryAt_) Attempt();
}

void InteractiveSession::ShowReceived(const std::string& raw) {
  const ConsoleLine line = ParseLine(raw);
  bool own = false;
  if (!awaitingEcho_.empty() && IsEchoOf(line, awaitingEcho_.front())) {
    own = true;
    awaitingEcho_.pop_front();
  }
  if (display_ != nullptr) display_->Show(RenderLine(raw, own, colour_));
}

void InteractiveSession::ShowNote(const std::string& text) {
  if (display_ != nullptr) display_->Show("quillaret-attach: " + text);
}

void InteractiveSession::Detach() {
  link_.Close();
  awaitingEcho_.clear();
  partialAt_ = -1;
  if (done_) return;
  ShowNote("the console closed the connection (the game stopped?); attaching again as soon "
           "as it is back");
  retryMillis_ = kFirstRetryMillis;
  retryAt_ = NowMillis() + retryMillis_;
  saidMissing_ = false;
  if (display_ != nullptr) display_->PromptChanged();
}

void InteractiveSession::Attempt() {
  Attached fresh;
  const OpenResult result =
      AttachTo(options_.host, basePort_, options_.object, password_, link_, fresh);
  if (result == OpenResult::kOpen) {
    attached_ = fresh;
    retryAt_ = -1;
    ShowNote("attached again to " + (attached_.ownKnown ? Describe(attached_.own)
                                                        : "port " + std::to_string(link_.Port())));
    if (display_ != nullptr) display_->PromptChanged();
    for (const std::string& raw : attached_.early) ShowReceived(raw);
    attached_.early.clear();
    OnReadable();
    return;
  }
  if (result == OpenResult::kPasswordRefused || result == OpenResult::kNoPassword) {
    ShowNote(result == OpenResult::kPasswordRefused ? "the console refused the password"
                                                  : "the console asks for a password");
    done_ = true;
    exitCode_ = kExitUnreachable;
    return;
  }
  if ((result == OpenResult::kNotFound || result == OpenResult::kAmbiguous) && !saidMissing_) {
    ShowNote("the game is back, but " + EscapeControlBytes(options_.object) +
             (result == OpenResult::kNotFound ? " is not among its consoles yet"
                                              : " names several of its consoles"));
    saidMissing_ = true;
  }
  retryMillis_ = std::min(retryMillis_ * 2, kLongestRetryMillis);
  retryAt_ = NowMillis() + retryMillis_;
}

void InteractiveSession::Submit(const std::string& line) {
  if (line.empty()) return;
  if (line == ":quit" || MatchConsoleCommand(line) == ConsoleCommand::kQuit) {
    Quit();
    return;
  }
  if (!link_.IsOpen()) {
    // A line typed blind is not kept for later: the game it was meant for has restarted.
    ShowNote("not attached: the line was not sent (Up brings it back)");
    return;
  }
  if (!link_.SendLine(line)) {
    OnReadable();
    return;
  }
  const ConsoleCommand command = MatchConsoleCommand(line);
  if (command == ConsoleCommand::kNone) {
    if (awaitingEcho_.size() == kMaxAwaitedEchoes) awaitingEcho_.pop_front();
    awaitingEcho_.push_back(line);
  }
}

void InteractiveSession::Quit() {
  done_ = true;
  exitCode_ = kExitOk;
  retryAt_ = -1;
  if (!link_.IsOpen()) return;
  std::vector<std::string> late;
  (void)LeaveConsole(link_, kReplyMillis, &late);
  for (const std::string& raw : late) ShowReceived(raw);
}

std::string InteractiveSession::Prompt() const {
  const std::string name = attached_.ownKnown ? EscapeControlBytes(attached_.own.templateName)
                                              : EscapeControlBytes(options_.object);
  return link_.IsOpen() ? name + "> " : "(detached) " + name + "> ";
}

std::string InteractiveSession::HistoryKey() const {
  if (attached_.ownKnown) return attached_.own.templateName;
  return ":" + std::to_string(link_.Port());
}

}  // namespace qc::attach
