// Report calls and host probes; none of them touches the network or the pending stack.
#include "host/reports.h"

#include <cstring>

#include "common/fixed_text.h"
#include "common/locks.h"
#include "server/console_server.h"

namespace qc {
namespace {

constexpr std::size_t kShortestReport = 15;  // strlen("report.xxxx(xx)")
constexpr const char kReportHead[] = "\"QC_REPORT: ";

bool HasReportPrefix(const char* text) {
  static constexpr char kPrefix[] = "report.";
  for (std::size_t i = 0; i + 1 < sizeof kPrefix; ++i) {
    if (LowerAscii(text[i]) != kPrefix[i]) return false;
  }
  return true;
}

}  // namespace

const char* RewriteReportCall(char* text) {
  if (text == nullptr) return kEmptyText;
  const std::size_t length = BoundedLength(text, kTextBytes);
  if (length >= kTextBytes || length < kShortestReport) return kEmptyText;
  // Only the prefix has letters; the other tests concern characters without case, so they
  // read the caller's text directly instead of a lower-cased copy.
  if (!HasReportPrefix(text)) return kEmptyText;
  const char* open = std::strchr(text, '(');
  const char* close = std::strchr(text, ')');
  if (open == nullptr || close == nullptr || open > close) return kEmptyText;
  const char* quote = std::strchr(text, '"');
  if (quote == nullptr) return kEmptyText;

  const std::size_t kept = length - static_cast<std::size_t>(quote + 1 - text);
  std::memmove(text + sizeof kReportHead - 1, quote + 1, kept + 1);
  std::memcpy(text, kReportHead, sizeof kReportHead - 1);
  return text;
}

const char* DescribeAttachment(std::uint32_t goid) {
  ConsoleServer* server = FindServer(goid);
  if (server == nullptr) return kEmptyText;
  MutexHold hold(server->StateLock);
  FormatText(server->ResultText, sizeof server->ResultText,
             "Dev console attached to object\n\nGoID: %d\nTemplateName: %s",
             static_cast<int>(server->GoID), server->TemplateName);
  return server->ResultText;
}

bool SpawnConfirmFlag(std::uint32_t goid) {
  const ConsoleServer* server = FindServer(goid);
  return server != nullptr && server->SpawnConfirm;
}

}  // namespace qc
