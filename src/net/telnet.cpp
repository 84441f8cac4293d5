// Telnet command removal: a byte-at-a-time state machine that compacts each piece in place.
#include "net/telnet.h"

#include <cstring>

namespace qc {
namespace {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;  // 240 to 249 are the commands without an option

enum Phase : std::uint8_t {
  kData,     // ordinary bytes
  kCommand,  // after IAC
  kOption,   // after IAC and a verb: the option byte comes next
  kSub,      // inside IAC SB ... IAC SE
  kSubAfterIac,
};

// The answers of one call, handed on in small batches.
struct Replies {
  TelnetReplySink sink;
  void* context;
  std::size_t length;
  char bytes[96];

  void Add(std::uint8_t verb, std::uint8_t option) {
    if (length + 3 > sizeof bytes) Flush();
    bytes[length++] = static_cast<char>(kIac);
    bytes[length++] = static_cast<char>(verb);
    bytes[length++] = static_cast<char>(option);
  }
  void Flush() {
    if (length > 0) sink(context, bytes, length);
    length = 0;
  }
};

}  // namespace

std::size_t EscapedLength(const char* bytes, std::size_t length) {
  std::size_t escaped = length;
  for (std::size_t i = 0; i < length; ++i) escaped += static_cast<std::uint8_t>(bytes[i]) == kIac;
  return escaped;
}

void EscapeIac(const char* bytes, std::size_t length, char* out) {
  for (std::size_t i = 0; i < length; ++i) {
    *out++ = bytes[i];
    if (static_cast<std::uint8_t>(bytes[i]) == kIac) *out++ = bytes[i];
  }
}

std::size_t FilterTelnet(TelnetState& state, char* data, std::size_t length, TelnetReplySink reply,
                         void* context) {
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  std::size_t in = 0;
  // The last piece ended in IAC and this one goes on with no command: the 0xFF is kept, and
  // makes room for itself. Everywhere else a kept byte is written no later than it was read.
  if (state.Phase == kCommand && length > 0 && bytes[0] < kSe) {
    std::memmove(bytes + 1, bytes, length);
    bytes[0] = kIac;
    ++length;
    in = 2;
    state.Phase = kData;
  }
  std::size_t out = in;
  Replies replies{reply, context, 0, {}};
  for (; in < length; ++in) {
    const std::uint8_t b = bytes[in];
    switch (state.Phase) {
      case kData:
        if (b == kIac) {
          state.Phase = kCommand;
        } else {
          bytes[out++] = b;
        }
        break;
      case kCommand:
        state.Phase = kData;
        // Only a real command shows a telnet client: a raw client's 0xFF before a byte below
        // 240 is data, and doubling its 0xFF bytes would garble what it gets back.
        if (b >= kSe && b != kIac) state.SpeaksTelnet = true;
        if (b >= kWill && b <= kDont) {
          state.Verb = b;
          state.Phase = kOption;
        } else if (b == kSb) {
          state.Phase = kSub;
          state.SubLength = 0;
        } else if (b == kIac) {
          bytes[out++] = kIac;  // IAC IAC: one 0xFF byte of data
        } else if (b < kSe) {
          bytes[out++] = kIac;  // no command: both bytes stay as they came
          bytes[out++] = b;
        }
        break;
      case kOption:
        if (state.Verb == kWill) replies.Add(kDont, b);
        if (state.Verb == kDo) replies.Add(kWont, b);
        state.Phase = kData;
        break;
      case kSub:
        if (b == kIac) state.Phase = kSubAfterIac;
        if (++state.SubLength >= kLongestSubnegotiation && state.Phase == kSub) state.Phase = kData;
        break;
      case kSubAfterIac:  // IAC SE ends it; IAC IAC is a 0xFF inside it
        state.Phase = b == kSe ? kData : kSub;
        if (++state.SubLength >= kLongestSubnegotiation && state.Phase == kSub) state.Phase = kData;
        break;
    }
  }
  replies.Flush();
  return out;
}

}  // namespace qc
