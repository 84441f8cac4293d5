// The send policy of one client: time limits, retries and output limits.
#include "net/send_policy.h"

#include "net/limits.h"

namespace qc {
namespace {

// Whether the send time limit of a client with output waiting has run out.
bool SendTimeUp(const ConsoleServer& server, const ClientState& client, std::int64_t now) {
  return server.SendTimeoutMillis > 0 && client.Output.StalledSince != 0 &&
         now - client.Output.StalledSince >= server.SendTimeoutMillis;
}

// When a socket that took nothing is tried again without being reported writable (0: never).
std::int64_t RetryBlockedAt(const ConsoleServer& server, const ClientState& client) {
  if (!client.Output.Blocked || server.SendTimeoutMillis <= 0 || client.Output.StalledSince == 0)
    return 0;
  const std::int64_t half = server.SendTimeoutMillis / 2;
  return (client.Output.TriedAt > client.Output.StalledSince ? client.Output.TriedAt
                                                             : client.Output.StalledSince) +
         half;
}

}  // namespace

std::int64_t Nearest(std::int64_t a, std::int64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

bool ShouldTrySend(const ConsoleServer& server, const ClientState& client, std::int64_t now) {
  const std::int64_t retryAt = RetryBlockedAt(server, client);
  return !client.Output.Blocked || SendTimeUp(server, client, now) ||
         (retryAt != 0 && now >= retryAt);
}

SendVerdict JudgeSend(const ConsoleServer& server, ClientState& client, std::int64_t now,
                      const SendTry& attempt) {
  if (attempt.Tried) {
    client.Output.Blocked = attempt.Result == FlushResult::kWaiting;
    if (attempt.Result == FlushResult::kEmpty) {
      client.Output.StalledSince = 0;
      return SendVerdict::kKeep;
    }
    const bool tookEnough = !attempt.Late || attempt.Result != FlushResult::kWaiting ||
                            attempt.QueuedBefore - client.Output.Queue.Bytes >= kLateProgressBytes;
    if (attempt.Progressed && tookEnough) {
      client.Output.StalledSince = now;
      return SendVerdict::kKeep;
    }
  }
  if (client.Output.StalledSince == 0) client.Output.StalledSince = now;
  return SendTimeUp(server, client, now) ? SendVerdict::kTimedOut : SendVerdict::kKeep;
}

void JudgeOutput(const ConsoleServer& server, ClientState& client, std::int64_t now) {
  const std::uint64_t queued = client.Output.Queue.Bytes;
  if (queued <= server.SendBufferBytes) {
    client.Output.OverSoftSince = 0;
    return;
  }
  if (client.Output.OverSoftSince == 0) client.Output.OverSoftSince = now;
  const bool tooLong =
      server.SendTimeoutMillis > 0 && now - client.Output.OverSoftSince >= server.SendTimeoutMillis;
  if ((queued > HardOutputLimit(server) || tooLong) && client.Output.Drop == ClientDrop::kNone) {
    client.Output.Drop = ClientDrop::kBufferFull;
  }
}

std::int64_t NextSendDeadline(const ConsoleServer& server, const ClientState& client) {
  if (server.SendTimeoutMillis <= 0) return 0;
  std::int64_t deadline = 0;
  if (client.Output.Queue.Count > 0 && client.Output.StalledSince != 0) {
    deadline = Nearest(client.Output.StalledSince + server.SendTimeoutMillis,
                       RetryBlockedAt(server, client));
  }
  if (client.Output.OverSoftSince != 0) {
    deadline = Nearest(deadline, client.Output.OverSoftSince + server.SendTimeoutMillis);
  }
  return deadline;
}

}  // namespace qc
