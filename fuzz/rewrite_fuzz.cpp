// Script rewriting (RewriteScript, as the host's next message gets it) and ReplaceAll on its
// own. RewriteScript must equal the plain definition: replace the leftmost "[this]." again and
// again, then the leftmost "[that](", each time only while the result fits in 65,535
// characters. ReplaceAll with any token, replacement and buffer size must equal one
// left-to-right pass that stops at the first occurrence that no longer fits, and must never
// write past its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/fixed_text.h"
#include "fuzz_support.h"
#include "server/console_server.h"
#include "support/models.h"
#include "host/retrieval.h"

namespace {

constexpr std::size_t kLimit = qc::kTextBytes - 1;

std::string ReplaceInOnePass(const std::string& text, const std::string& token,
                             const std::string& replacement, std::size_t capacity) {
  if (token.empty()) return text;
  std::string done;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(token, from)) != std::string::npos;) {
    const std::size_t grownLength =
        done.size() + (text.size() - from) - token.size() + replacement.size();
    if (grownLength > capacity - 1) break;
    done.append(text, from, at - from);
    done += replacement;
    from = at + token.size();
  }
  return done + text.substr(from);
}

// A text for the rewriting: optional filler first (so small inputs reach the length limit),
// then the input's own bytes, with some bytes standing for the tokens.
std::string BuildText(qc::fuzz::Input& in, std::size_t limit) {
  const std::size_t filler = in.Word();
  const char fill = static_cast<char>(in.Byte());
  std::string text(filler, fill);
  for (char c : in.Rest()) {
    switch (c) {
      case '\x01':
        text += "[this].";
        break;
      case '\x02':
        text += "[that](";
        break;
      default:
        text += c;
        break;
    }
  }
  text = qc::fuzz::TextPart(text);
  if (text.size() > limit) text.resize(limit);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using qc::fuzz::Input;
  static qc::ConsoleServer* const server = qc::NewConsoleServer(0, "");
  Input in(data, size);
  const std::uint8_t mode = in.Byte();

  if (mode % 2 == 0) {
    const std::uint32_t goid = in.Uint32();
    qc::FormatText(server->ThisPrefix, sizeof server->ThisPrefix, "MakeGoid(%d).",
                   static_cast<int>(goid));
    const std::string text = BuildText(in, kLimit);
    std::unique_ptr<char[]> buffer(new char[qc::kTextBytes]);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
    qc::RewriteScript(*server, buffer.get());

    const std::string want = qc::test::ReplaceLeftmostRepeatedly(
        qc::test::ReplaceLeftmostRepeatedly(text, "[this].", server->ThisPrefix, kLimit), "[that](",
        "MakeGoid(", kLimit);
    QC_FUZZ_CHECK(std::strlen(buffer.get()) <= kLimit);
    QC_FUZZ_CHECK(want == buffer.get());
    return 0;
  }

  // Any token and replacement (up to 255 bytes each), in a buffer of 1 to 65,536 bytes.
  const std::string token = qc::fuzz::TextPart(in.Bytes(in.Byte()));
  const std::string replacement = qc::fuzz::TextPart(in.Bytes(in.Byte()));
  const std::size_t capacity = 1 + in.Word() % qc::kTextBytes;
  const std::string text = BuildText(in, capacity - 1);
  // The buffer is exactly capacity bytes, so a write past it is caught.
  std::unique_ptr<char[]> buffer(new char[capacity]);
  std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
  char* result = qc::ReplaceAll(buffer.get(), capacity, token.c_str(), replacement.c_str());
  QC_FUZZ_CHECK(result == buffer.get());
  QC_FUZZ_CHECK(qc::BoundedLength(buffer.get(), capacity) < capacity);
  QC_FUZZ_CHECK(ReplaceInOnePass(text, token, replacement, capacity) == buffer.get());
  return 0;
}
