// Script mode over one attached console.
#include "client/core/script.h"

#include <algorithm>
#include <memory>

namespace qc::attach {
namespace {

// How long, after attaching, the game may take to announce this client (its first frame).
constexpr int kAnnounceMillis = 5000;

constexpr std::string_view kTimedOut = "QC_ERROR: Connection has timed out";

class ScriptRun {
 public:
  ScriptRun(ScriptTarget& target, const Options& options, bool colour, std::FILE* out,
            std::FILE* err, SessionLog& log)
      : link_(*target.link),
        options_(options),
        colour_(colour),
        out_(out),
        err_(err),
        log_(log),
        mark_(options.ManyObjects() ? EscapeControlBytes(target.label) + ": " : "") {}

  // Waits until the game has taken this client's connected notice, so that no line of the
  // script is taken before it (the game takes the newest of what waits first), and then for a
  // quiet period: a game greets a newcomer in broadcasts after the notice, and a line taken
  // before it has done so would get the greeting among its answers.
  void AwaitAnnouncement(const Attached& attached) {
    if (!attached.ownKnown) return;
    const std::string address = LocalAddress(link_.Handle());
    auto isOwn = [&](const std::string& raw) {
      return IsConnectedNoticeOf(ParseLine(raw), address, PrintedPort(attached.own.port),
                                 attached.own.printedGoid);
    };
    bool announced = false;
    for (const std::string& raw : attached.early) announced = announced || isOwn(raw);
    const std::int64_t deadline = NowMillis() + kAnnounceMillis;
    for (std::string raw;;) {
      const int left = static_cast<int>(deadline - NowMillis());
      if (left <= 0) return;
      if (!link_.ReadLine(raw, announced ? std::min(left, options_.waitMillis) : left)) return;
      announced = announced || isOwn(raw);
    }
  }

  // Sends one line and takes what follows until its echo (or listing) and a quiet period.
  // False when the run must end: the connection was lost or the echo never came.
  bool RunLine(const std::string& line) {
    if (failed_) return false;
    log_.Write(mark_ + "> " + line);
    collector_.Sent(line);
    if (!link_.SendLine(line)) return Lost();
    const std::int64_t deadline = NowMillis() + options_.echoMillis;
    while (!collector_.Settled()) {
      const int left = static_cast<int>(deadline - NowMillis());
      std::string raw;
      if (left > 0 && link_.ReadLine(raw, left)) {
        Handle(raw);
        continue;
      }
      if (link_.Lost()) return Lost();
      if (WaitInterrupted()) return false;
      std::fprintf(err_,
                   "quillaret-attach: %sno echo of \"%s\" within %g s: is the game running its "
                   "frames?\n",
                   mark_.c_str(), EscapeControlBytes(line).c_str(), options_.echoMillis / 1000.0);
      log_.Write(mark_ + "no echo of \"" + line + "\"");
      failed_ = true;
      return false;
    }
    DrainQuietPeriod();
    return link_.Lost() ? Lost() : true;
  }

  // Reads lines until none has come for the quiet period.
  void DrainQuietPeriod() {
    for (std::string raw;;) {
      if (link_.ReadLine(raw, options_.waitMillis)) {
        Handle(raw);
        continue;
      }
      // A host's text without a line end stays unfinished; after a quiet period it is whole.
      if (link_.Lines().TakePartial(raw)) {
        Handle(raw);
        continue;
      }
      return;
    }
  }

  void Finish(int millis) {
    if (failed_ || !link_.IsOpen()) {
      link_.Close();
      return;
    }
    std::vector<std::string> late;
    (void)LeaveConsole(link_, millis, &late);
    for (const std::string& raw : late) {
      if (ParseLine(raw).body != kFarewell) Handle(raw);
    }
  }

  bool SawError() const { return sawError_; }
  bool Failed() const { return failed_; }

 private:
  void Handle(const std::string& raw) {
    const ConsoleLine line = ParseLine(raw);
    const AnswerCollector::Verdict verdict = collector_.Take(line);
    if (verdict != AnswerCollector::Verdict::kAnswer &&
        verdict != AnswerCollector::Verdict::kListingDone) {
      return;
    }
    if (line.kind == LineKind::kError) sawError_ = true;
    std::fprintf(out_, "%s%s\n", mark_.c_str(), ScriptAnswerText(line, colour_).c_str());
    std::fflush(out_);
    log_.Write(mark_ + ScriptAnswerText(line, false));
  }

  bool Lost() {
    std::fprintf(err_, "quillaret-attach: %sthe console closed the connection\n", mark_.c_str());
    log_.Write(mark_ + "the console closed the connection");
    failed_ = true;
    return false;
  }

  ConsoleLink& link_;
  const Options& options_;
  bool colour_;
  std::FILE* out_;
  std::FILE* err_;
  SessionLog& log_;
  std::string mark_;  // "LABEL: " before each answer, when the script runs on several objects
  AnswerCollector collector_;
  bool sawError_ = false;
  bool failed_ = false;
};

}  // namespace

void AnswerCollector::Sent(const std::string& line) {
  sent_ = line;
  listing_ = MatchConsoleCommand(line);
  awaiting_ = listing_ == ConsoleCommand::kWho || listing_ == ConsoleCommand::kSpawns
                  ? Awaiting::kListing
                  : Awaiting::kEcho;
  inListing_ = false;
}

AnswerCollector::Verdict AnswerCollector::Take(const ConsoleLine& line) {
  if (IsPresenceNotice(line) || (line.stamp.empty() && line.body == kTimedOut)) {
    return Verdict::kSkip;
  }
  if (awaiting_ == Awaiting::kListing) {
    const ListingPart part = ClassifyListingLine(line);
    const ListingPart header =
        listing_ == ConsoleCommand::kWho ? ListingPart::kWhoHeader : ListingPart::kSpawnsHeader;
    if (!inListing_ && part == header) {
      inListing_ = true;
      started_ = true;
      return Verdict::kAnswer;
    }
    if (inListing_ && part == ListingPart::kRow) return Verdict::kAnswer;
    if (inListing_ && part == ListingPart::kEnd) {
      awaiting_ = Awaiting::kNothing;
      inListing_ = false;
      return Verdict::kListingDone;
    }
  }
  if (awaiting_ == Awaiting::kEcho && IsEchoOf(line, sent_)) {
    awaiting_ = Awaiting::kNothing;
    started_ = true;
    return Verdict::kEcho;
  }
  return started_ ? Verdict::kAnswer : Verdict::kSkip;
}

std::string ScriptAnswerText(const ConsoleLine& line, bool colour) {
  std::string_view text = line.body;
  if (line.kind == LineKind::kMessage) text.remove_prefix(kMessageTag.size());
  const std::string shown = EscapeControlBytes(text);
  if (colour && line.kind == LineKind::kError) return "\x1b[31m" + shown + "\x1b[0m";
  if (colour && line.kind == LineKind::kReport) return "\x1b[1;33m" + shown + "\x1b[0m";
  return shown;
}

std::vector<std::string> SplitScript(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

int RunScript(std::vector<ScriptTarget>& targets, const LineSource& next, const Options& options,
              bool colour, std::FILE* out, std::FILE* err, SessionLog& log) {
  std::vector<std::unique_ptr<ScriptRun>> runs;
  for (ScriptTarget& target : targets) {
    runs.push_back(std::make_unique<ScriptRun>(target, options, colour, out, err, log));
  }
  for (std::size_t i = 0; i < runs.size() && !WaitInterrupted(); ++i) {
    runs[i]->AwaitAnnouncement(targets[i].attached);
  }
  bool stop = false;
  for (std::string line; !stop && !WaitInterrupted() && next(line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (MatchConsoleCommand(line) == ConsoleCommand::kQuit) break;
    if (options.echo) {
      std::fprintf(out, "> %s\n", EscapeControlBytes(line).c_str());
      std::fflush(out);
    }
    for (auto& run : runs) {
      if (WaitInterrupted()) break;
      (void)run->RunLine(line);
      if (options.stopOnError && run->SawError()) {
        stop = true;
        break;
      }
    }
    if (std::all_of(runs.begin(), runs.end(), [](const auto& run) { return run->Failed(); })) {
      break;
    }
  }
  const bool interrupted = WaitInterrupted();
  if (interrupted) {
    ClearInterrupt();
    log.Write("interrupted (Ctrl-C)");
  }
  // After Ctrl-C the farewell is awaited a second at most: whoever presses it wants out.
  for (auto& run : runs) run->Finish(interrupted ? 1000 : options.ReplyMillis());
  if (interrupted) return kExitInterrupted;
  if (std::any_of(runs.begin(), runs.end(), [](const auto& run) { return run->Failed(); })) {
    return kExitUnreachable;
  }
  if ((options.stopOnError || options.failOnError) &&
      std::any_of(runs.begin(), runs.end(), [](const auto& run) { return run->SawError(); })) {
    return kExitError;
  }
  return kExitOk;
}

}  // namespace qc::attach
