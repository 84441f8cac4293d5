// CheckReportMsg's rewriting (RewriteReportCall) and CheckSysMsg's rule (IsSystemNotice)
// against their tables. A report call is a text of 15 to 65,535 characters whose lower-cased
// copy begins with "report.", holds a "(" and a ")" with the first "(" before the first ")",
// and holds a double quote; it becomes a double quote, "QC_REPORT: " and everything after its
// first double quote, at most 4 characters longer than it was. Anything else leaves the
// caller's buffer as it was.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "net/broadcast.h"
#include "server/console_server.h"
#include "host/reports.h"

namespace {

constexpr std::size_t kRoom = 4;  // what a report text may add to the caller's text
constexpr char kSentinel = '\xA5';

bool IsReportCall(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower.size() < 15 || lower.size() > 65535) return false;
  if (lower.compare(0, 7, "report.") != 0) return false;
  const std::size_t open = lower.find('(');
  const std::size_t close = lower.find(')');
  if (open == std::string::npos || close == std::string::npos || open > close) return false;
  return lower.find('"') != std::string::npos;
}

bool IsNotice(const std::string& text) {
  for (const char* prefix : {"QC_OK:", "QC_ERROR:", "QC_REPORT:"}) {
    if (text.compare(0, std::strlen(prefix), prefix) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::Input in(data, size);
  // A run of filler after the input's first bytes lets small inputs reach 65,535 characters.
  const std::string head = in.Bytes(in.Byte() % 32);
  const std::size_t filler = in.Byte() == 0xFF ? 65512 + in.Byte() % 32 : in.Word() % 1024;
  const std::string fill(filler, static_cast<char>(in.Byte()));
  const std::string text = qc::fuzz::TextPart(head + fill + in.Rest());

  QC_FUZZ_CHECK(qc::IsSystemNotice(text.c_str()) == IsNotice(text));

  // The caller's buffer: the text, its NUL and the 4 characters of room, then nothing.
  const std::size_t capacity = text.size() + 1 + kRoom;
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
  std::memset(buffer.get() + text.size() + 1, kSentinel, kRoom);
  const std::string before(buffer.get(), capacity);

  const char* result = qc::RewriteReportCall(buffer.get());
  if (!IsReportCall(text)) {
    QC_FUZZ_CHECK(result == qc::kEmptyText);
    QC_FUZZ_CHECK(std::string(buffer.get(), capacity) == before);
    return 0;
  }
  const std::string want = "\"QC_REPORT: " + text.substr(text.find('"') + 1);
  QC_FUZZ_CHECK(result == buffer.get());
  QC_FUZZ_CHECK(want == buffer.get());
  QC_FUZZ_CHECK(want.size() <= text.size() + kRoom);
  QC_FUZZ_CHECK(!qc::IsSystemNotice(result));
  return 0;
}
