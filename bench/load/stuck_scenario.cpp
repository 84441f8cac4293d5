// Stuck clients among reading ones. One console with a given SendTimeoutVal; 10 clients read
// everything, each on a thread of its own, and 1 or 10 clients never read. The host broadcasts
// a 4 KiB text as fast as the readers take it (never more than a window of lines ahead of the
// slowest) and polls GetNextMessage after each broadcast, until every stuck client's
// disconnected notice has come and then for a while longer. Every host call is timed. A design
// whose host calls send may hold a call for about SendTimeoutVal per stuck client (the sends
// that give up on them); one that only queues holds none.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/scenarios.h"

namespace qc::load {
namespace {

constexpr unsigned kStuckGoid = 6161;
constexpr int kReaders = 10;
constexpr long long kReaderWindow = 64;    // broadcasts the host may be ahead of the slowest reader
constexpr std::size_t kTextLength = 4096;  // with its line feed
constexpr char kHead[] = "SetState(\"stuck client benchmark\", ";
constexpr std::int64_t kSlowCallNanos = 10 * 1000000LL;
// After the notice: at least this many broadcasts and this long.
constexpr int kBroadcastsAfter = 1000;
constexpr std::int64_t kNanosAfter = 1000 * 1000000LL;
// The stuck clients' buffers must fill before the limit can start; this and a limit per stuck
// client bound the whole run.
constexpr std::int64_t kRunNanosBeyondLimit = 30000 * 1000000LL;

// Every host call's start and end, kept outside the timed calls.
struct Call {
  std::int64_t start;
  std::int64_t end;
  bool broadcast;
};

}  // namespace

int RunStuckScenario(const Options& options, int stuckCount, int sendTimeoutMillis) {
  loader::ConsoleApi api{};
  const auto port = static_cast<std::uint16_t>(options.basePort + kStuckPortOffset);
  if (!SpawnInProcess(options, api, kStuckGoid, "stuck", port,
                      "SendTimeoutVal=" + std::to_string(sendTimeoutMillis) + "\n")) {
    return 1;
  }

  // Readers on threads of their own, each counting the broadcast lines it received whole.
  Developers readers;
  if (!AttachDevelopers(readers, kReaders, port)) {
    return Fail("stuck: cannot connect reader %zu to port %d", readers.size() - 1, port);
  }
  for (auto& reader : readers) reader->StartReading(ReadPattern{}, kTextLength, kHead[0]);
  std::vector<int> stuck;  // never read from
  for (int i = 0; i < stuckCount; ++i) stuck.push_back(ConnectLoopback(port, 10000));
  if (std::count(stuck.begin(), stuck.end(), -1) > 0 ||
      !TakeConnectedNotices(api, kStuckGoid, kReaders + stuckCount)) {
    return Fail("stuck: cannot attach %d clients to port %d", kReaders + stuckCount, port);
  }

  std::string text(kTextLength - 1, '.');
  std::memcpy(&text[0], kHead, sizeof kHead - 1);
  text += "\n";
  std::vector<Call> calls;
  calls.reserve(1 << 20);
  long long broadcasts = 0;
  long long broadcastsAfter = 0;
  const std::int64_t start = NowNanos();
  const std::int64_t deadline =
      start + std::int64_t{sendTimeoutMillis} * stuckCount * 1000000 + kRunNanosBeyondLimit;
  std::int64_t droppedAt = -1;  // when the last stuck client's disconnected notice came
  int dropped = 0;
  for (;;) {
    // Off the clock: the readers keep up with the host, so only the stuck clients fall behind.
    while (broadcasts - FewestStreamLines(readers, broadcasts) >= kReaderWindow &&
           NowNanos() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const std::int64_t before = NowNanos();
    api.BroadcastMsg(kStuckGoid, text.data());
    const std::int64_t after = NowNanos();
    calls.push_back({before, after, true});
    ++broadcasts;
    if (droppedAt >= 0) ++broadcastsAfter;
    for (;;) {
      const std::int64_t pollStart = NowNanos();
      const char* message = api.GetNextMessage(kStuckGoid);
      const std::int64_t pollEnd = NowNanos();
      calls.push_back({pollStart, pollEnd, false});
      if (message[0] == '\0') break;
      if (std::strstr(message, " disconnected (") != nullptr && ++dropped == stuckCount) {
        droppedAt = pollEnd;
      }
    }
    const std::int64_t now = NowNanos();
    if (droppedAt >= 0 && broadcastsAfter >= kBroadcastsAfter && now - droppedAt >= kNanosAfter) {
      break;
    }
    if (now >= deadline) {
      return Fail("stuck: %d of %d disconnected notices within %lld ms (%lld broadcasts)", dropped,
                  stuckCount, static_cast<long long>((now - start) / 1000000), broadcasts);
    }
  }

  // Every reader must have had every broadcast: a reader dropped as well would be a fault, and
  // a broadcast that reached nobody proves nothing.
  WaitForStreamLines(readers, broadcasts, 20000);
  int missing = 0;
  for (const auto& reader : readers) missing += reader->StreamLines() != broadcasts ? 1 : 0;
  // The call that gave up on the last stuck client: the longest broadcast that ended before the
  // last disconnected notice came. No call after it should wait on a stuck client again.
  const Call* gaveUp = nullptr;
  std::int64_t longestBroadcast = 0;
  std::int64_t longestPoll = 0;
  long slowCalls = 0;
  for (const Call& call : calls) {
    const std::int64_t took = call.end - call.start;
    if (took > kSlowCallNanos) ++slowCalls;
    if (!call.broadcast) {
      longestPoll = std::max(longestPoll, took);
      continue;
    }
    longestBroadcast = std::max(longestBroadcast, took);
    if (call.end <= droppedAt && (gaveUp == nullptr || took > gaveUp->end - gaveUp->start)) {
      gaveUp = &call;
    }
  }
  std::int64_t longestAfter = 0;
  for (const Call* call = gaveUp + 1; call < calls.data() + calls.size(); ++call) {
    longestAfter = std::max(longestAfter, call->end - call->start);
  }
  const std::string prefix =
      "stuck." + std::to_string(stuckCount) + "." + std::to_string(sendTimeoutMillis) + ".library.";
  ReportFigure(prefix + "limit_ms", sendTimeoutMillis);
  ReportFigure(prefix + "longest_call_ms",
               static_cast<double>(std::max(longestBroadcast, longestPoll)) / 1e6);
  ReportFigure(prefix + "longest_broadcast_ms", static_cast<double>(longestBroadcast) / 1e6);
  ReportFigure(prefix + "longest_poll_ms", static_cast<double>(longestPoll) / 1e6);
  ReportFigure(prefix + "longest_after_ms", static_cast<double>(longestAfter) / 1e6);
  ReportFigure(prefix + "slow_calls", static_cast<double>(slowCalls));
  ReportFigure(prefix + "broadcasts", static_cast<double>(broadcasts));
  // Until the stuck client's buffers were full, then from there to its disconnected notice.
  ReportFigure(prefix + "fill_ms", static_cast<double>(gaveUp->start - start) / 1e6);
  ReportFigure(prefix + "notice_ms", static_cast<double>(droppedAt - gaveUp->start) / 1e6);
  ReportFigure(prefix + "readers_missing_lines", missing);
  for (auto& reader : readers) reader->Stop();
  for (int s : stuck) CloseSocket(s);
  return 0;
}

}  // namespace qc::load
