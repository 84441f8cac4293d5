// The interactive session's logic: what arrives, what is shown, where lines go, and
// attaching again.
#include "client/core/session.h"

#include <algorithm>

#include "client/core/history.h"

namespace qc::attach {
namespace {

constexpr std::size_t kMaxAwaitedEchoes = 100;
// Each object's name in a colour of its own, red (errors) and bold yellow (reports) left out.
constexpr const char* kLabelColours[] = {"\x1b[32m", "\x1b[36m", "\x1b[35m", "\x1b[34m",
                                         "\x1b[92m", "\x1b[96m", "\x1b[95m", "\x1b[94m"};
// The words Tab offers at the start of a line, and after ":all ".
constexpr const char* kLineStarts[] = {"[this].", "[who]", "[spawns]", "[quit]"};
constexpr const char* kOwnCommands[] = {":to ", ":all ", ":help", ":quit"};
// The learned words Tab offers at most, the most recent: a list longer than a screen helps no one.
constexpr std::size_t kWordCandidates = 100;

std::string Describe(const SpawnRow& row) {
  return EscapeControlBytes(row.templateName) + " (GoID " + std::to_string(row.printedGoid) +
         ") on port " + std::to_string(row.port);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

InteractiveSession::InteractiveSession(const Options& options, ConsoleFinder& finder,
                                       PasswordSource& password, bool colour, SessionLog& log)
    : options_(options), finder_(finder), password_(password), colour_(colour), log_(log) {}

InteractiveSession::~InteractiveSession() = default;

OpenResult InteractiveSession::AttachFirst() {
  consoles_.clear();
  failedRows_.clear();
  std::vector<std::string> selected;
  OpenResult result =
      finder_.Select(options_.objects, options_.all, selected, failedObject_, failedRows_);
  if (result != OpenResult::kOpen) {
    if (failedObject_.empty() && !options_.objects.empty()) failedObject_ = options_.objects[0];
    return result;
  }
  for (const std::string& object : selected) {
    auto console = std::make_unique<Console>();
    console->object = object;
    result = finder_.Attach(object, console->link, console->attached);
    if (result != OpenResult::kOpen) {
      failedObject_ = object;
      failedRows_ = console->attached.rows;
      for (auto& attached : consoles_) (void)LeaveConsole(attached->link, 1000, nullptr);
      consoles_.clear();
      return result;
    }
    consoles_.push_back(std::move(console));
  }
  NameConsoles();
  return OpenResult::kOpen;
}

void InteractiveSession::NameConsoles() {
  for (auto& console : consoles_) {
    if (!console->attached.ownKnown) {
      console->label = console->object;
      continue;
    }
    const SpawnRow& own = console->attached.own;
    const bool shared =
        std::count_if(consoles_.begin(), consoles_.end(), [&](const auto& other) {
          return other->attached.ownKnown && other->attached.own.templateName == own.templateName;
        }) > 1;
    console->label =
        shared ? own.templateName + "#" + std::to_string(own.printedGoid) : own.templateName;
  }
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
  for (auto& console : consoles_) {
    for (const std::string& raw : console->attached.early) ShowReceived(*console, raw);
    console->attached.early.clear();
  }
  OnReadable();
}

std::vector<Connection> InteractiveSession::Handles() const {
  std::vector<Connection> handles;
  for (const auto& console : consoles_) {
    if (console->link.IsOpen()) handles.push_back(console->link.Handle());
  }
  return handles;
}

int InteractiveSession::MillisToTimer() const {
  std::int64_t next = -1;
  for (const auto& console : consoles_) {
    for (const std::int64_t at : {console->retryAt, console->partialAt}) {
      if (at >= 0 && (next < 0 || at < next)) next = at;
    }
  }
  if (next < 0) return -1;
  return static_cast<int>(std::max<std::int64_t>(0, next - NowMillis()));
}

void InteractiveSession::Pump(Console& console) {
  if (!console.link.IsOpen()) return;
  const bool alive = console.link.Pump();
  for (std::string raw; console.link.Lines().TakeLine(raw);) ShowReceived(console, raw);
  console.partialAt = console.link.Lines().HasPartial() ? NowMillis() + kPartialLineMillis : -1;
  if (!alive) {
    std::string rest;
    if (console.link.Lines().TakePartial(rest)) ShowReceived(console, rest);
    Detach(console);
  }
}

void InteractiveSession::OnReadable() {
  for (auto& console : consoles_) Pump(*console);
}

void InteractiveSession::OnTimer() {
  const std::int64_t now = NowMillis();
  for (auto& console : consoles_) {
    if (console->partialAt >= 0 && now >= console->partialAt) {
      std::string partial;
      if (console->link.Lines().TakePartial(partial)) ShowReceived(*console, partial);
      console->partialAt = -1;
    }
    if (done_) return;
    if (console->retryAt >= 0 && now >= console->retryAt) Attempt(*console);
  }
}

std::string InteractiveSession::Mark(const Console& console, bool colour) const {
  if (!options_.ManyObjects()) return "";
  const std::string label = EscapeControlBytes(console.label);
  if (!colour) return label + ": ";
  const auto index = static_cast<std::size_t>(
      std::find_if(consoles_.begin(), consoles_.end(),
                   [&](const auto& entry) { return entry.get() == &console; }) -
      consoles_.begin());
  return kLabelColours[index % std::size(kLabelColours)] + label + "\x1b[0m: ";
}

void InteractiveSession::Show(const std::string& shown, const std::string& logged) {
  log_.Write(logged);
  if (display_ != nullptr) display_->Show(shown);
}

void InteractiveSession::ShowReceived(Console& console, const std::string& raw) {
  const ConsoleLine line = ParseLine(raw);
  const bool own = TakeOwnEcho(console.awaitingEcho, line, console.lastOwnEcho);
  console.lastOwnEcho = own;
  // The console's own notices and listings name no calls of the game.
  if (!IsPresenceNotice(line) && ClassifyListingLine(line) == ListingPart::kNone) {
    (void)LearnWords(words_, line.body);
  }
  Show(Mark(console, colour_) + RenderLine(raw, own, colour_),
       Mark(console, false) + RenderLine(raw, own, false));
}

void InteractiveSession::ShowNote(const std::string& text) {
  Show("quillaret-attach: " + text, "quillaret-attach: " + text);
}

void InteractiveSession::Detach(Console& console) {
  console.link.Close();
  console.awaitingEcho.clear();
  console.partialAt = -1;
  if (done_) return;
  ShowNote(Mark(console, false) +
           "the console closed the connection (the game stopped?); attaching again as soon "
           "as it is back");
  console.retryMillis = kFirstRetryMillis;
  console.retryAt = NowMillis() + console.retryMillis;
  console.saidMissing = false;
  if (display_ != nullptr) display_->PromptChanged();
}

void InteractiveSession::Attempt(Console& console) {
  Attached fresh;
  const OpenResult result = finder_.Attach(console.object, console.link, fresh);
  if (result == OpenResult::kOpen) {
    console.attached = fresh;
    console.retryAt = -1;
    ShowNote(Mark(console, false) + "attached again to " +
             (console.attached.ownKnown ? Describe(console.attached.own)
                                        : "port " + std::to_string(console.link.Port())));
    if (display_ != nullptr) display_->PromptChanged();
    for (const std::string& raw : console.attached.early) ShowReceived(console, raw);
    console.attached.early.clear();
    Pump(console);
    return;
  }
  if (result == OpenResult::kPasswordRefused || result == OpenResult::kNoPassword) {
    ShowNote(result == OpenResult::kPasswordRefused ? "the console refused the password"
                                                    : "the console asks for a password");
    Quit();
    exitCode_ = kExitUnreachable;
    return;
  }
  if ((result == OpenResult::kNotFound || result == OpenResult::kAmbiguous) &&
      !console.saidMissing) {
    ShowNote("the game is back, but " + EscapeControlBytes(console.object) +
             (result == OpenResult::kNotFound ? " is not among its consoles yet"
                                              : " names several of its consoles"));
    console.saidMissing = true;
  }
  console.retryMillis = std::min(console.retryMillis * 2, kLongestRetryMillis);
  console.retryAt = NowMillis() + console.retryMillis;
}

InteractiveSession::Console* InteractiveSession::FindConsole(const std::string& name) {
  for (auto& console : consoles_) {
    if (console->label == name || console->object == name) return console.get();
  }
  for (auto& console : consoles_) {
    if (console->attached.ownKnown && MatchObject({console->attached.own}, name).size() == 1) {
      return console.get();
    }
  }
  return nullptr;
}

void InteractiveSession::SendTo(Console& console, const std::string& line) {
  if (!console.link.IsOpen()) {
    // A line typed blind is not kept for later: the game it was meant for has restarted.
    ShowNote(Mark(console, false) + "not attached: the line was not sent (Up brings it back)");
    return;
  }
  if (!console.link.SendLine(line)) {
    Pump(console);
    return;
  }
  if (MatchConsoleCommand(line) == ConsoleCommand::kNone) {
    if (console.awaitingEcho.size() == kMaxAwaitedEchoes) console.awaitingEcho.pop_front();
    console.awaitingEcho.push_back(line);
  }
}

void InteractiveSession::Submit(const std::string& line) {
  if (line.empty()) return;
  log_.Write(Prompt() + line);
  (void)LearnWords(words_, line);
  if (line == ":quit" || MatchConsoleCommand(line) == ConsoleCommand::kQuit) {
    Quit();
    return;
  }
  std::string names;
  for (const auto& console : consoles_) names += " " + EscapeControlBytes(console->label);
  if (line == ":help") {
    ShowNote(":to NAME sends the lines that follow to NAME (one of" + names +
             "); :all LINE sends LINE to every object; :quit, [quit] or Ctrl-D leaves");
    return;
  }
  if (line == ":to" || StartsWith(line, ":to ")) {
    const std::string name = line.size() > 4 ? line.substr(4) : "";
    Console* chosen = FindConsole(name);
    if (chosen == nullptr) {
      ShowNote((name.empty() ? std::string("to which object?")
                             : "no object " + EscapeControlBytes(name) + " here.") +
               " Attached:" + names);
      return;
    }
    current_ = static_cast<std::size_t>(
        std::find_if(consoles_.begin(), consoles_.end(),
                     [&](const auto& entry) { return entry.get() == chosen; }) -
        consoles_.begin());
    if (display_ != nullptr) display_->PromptChanged();
    return;
  }
  if (line == ":all" || StartsWith(line, ":all ")) {
    const std::string rest = line.size() > 5 ? line.substr(5) : "";
    if (rest.empty()) {
      ShowNote(":all needs a line to send to every object");
      return;
    }
    if (MatchConsoleCommand(rest) == ConsoleCommand::kQuit) {
      Quit();
      return;
    }
    for (auto& console : consoles_) SendTo(*console, rest);
    return;
  }
  if (!consoles_.empty()) SendTo(*consoles_[current_], line);
}

Completion InteractiveSession::Completions(const std::string& lineSoFar) const {
  Completion completion;
  const std::size_t cut = lineSoFar.find_last_of(" \t(,");
  completion.start = cut == std::string::npos ? 0 : cut + 1;
  const std::string word = lineSoFar.substr(completion.start);
  auto offer = [&](const std::string& candidate) {
    if (StartsWith(candidate, word)) completion.candidates.push_back(candidate);
  };
  const std::string before = lineSoFar.substr(0, completion.start);
  if (before == ":to ") {
    for (const auto& console : consoles_) offer(console->label);
    return completion;
  }
  const bool lineStart = completion.start == 0 || before == ":all ";
  if (lineStart) {
    for (const char* start : kLineStarts) offer(start);
    if (completion.start == 0) {
      for (const char* command : kOwnCommands) offer(command);
    }
  } else {
    offer("[this].");
  }
  std::size_t fragment = 0;
  if (FindWordToComplete(lineSoFar, fragment) && fragment >= completion.start) {
    std::vector<std::string> words;
    (void)CompleteWord(words_, std::string_view(lineSoFar).substr(fragment), words);
    if (words.size() > kWordCandidates) words.resize(kWordCandidates);
    const std::string lead = lineSoFar.substr(completion.start, fragment - completion.start);
    for (const std::string& learned : words) completion.candidates.push_back(lead + learned);
  }
  return completion;
}

void InteractiveSession::UseWords(const std::string& wordsPath, const std::string& historyPath) {
  LoadWords(words_, wordsPath);
  // The typed lines are in their own file already: learned here without writing them again.
  words_.path.clear();
  for (const std::string& line : ReadHistory(historyPath)) (void)LearnWords(words_, line);
  words_.path = wordsPath;
}

void InteractiveSession::InterruptedOnEmptyLine() {
  ShowNote("to leave, press Ctrl-D or type :quit");
}

void InteractiveSession::Quit() {
  done_ = true;
  exitCode_ = kExitOk;
  for (auto& console : consoles_) {
    console->retryAt = -1;
    if (!console->link.IsOpen()) continue;
    std::vector<std::string> late;
    (void)LeaveConsole(console->link, options_.ReplyMillis(), &late);
    for (const std::string& raw : late) ShowReceived(*console, raw);
  }
}

std::string InteractiveSession::Prompt() const {
  if (consoles_.empty()) return "> ";
  const Console& console = *consoles_[current_];
  const std::string name = EscapeControlBytes(console.label);
  return console.link.IsOpen() ? name + "> " : "(detached) " + name + "> ";
}

std::string InteractiveSession::HistoryKey() const {
  if (consoles_.size() == 1 && !options_.ManyObjects()) {
    const Console& console = *consoles_.front();
    return HistoryKeyOf(console.attached.own, console.attached.ownKnown, console.link.Port());
  }
  if (options_.all) return "--all";
  std::string key;
  for (const std::string& object : options_.objects) key += (key.empty() ? "" : " ") + object;
  return key;
}

}  // namespace qc::attach
