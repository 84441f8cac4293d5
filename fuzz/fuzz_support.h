// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes into the values a
// target needs, and the check that stops the run with a message when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qc::fuzz {

// Reports a broken invariant and aborts, which libFuzzer records as a crash with its input and
// the replay runner turns into a failed test.
[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define QC_FUZZ_CHECK(condition)                                               \
  do {                                                                         \
    if (!(condition)) ::qc::fuzz::Fail(__FILE__, __LINE__, #condition);        \
  } while (false)

// Reads values from the front of the input. Reads past the end give zeros and empty strings,
// so every input decodes to something.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Left() const { return size_ - at_; }

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  // Two bytes, little-endian.
  std::uint16_t Word() {
    const unsigned low = Byte();
    return static_cast<std::uint16_t>(low | (unsigned{Byte()} << 8));
  }

  std::uint32_t Uint32() {
    const std::uint32_t low = Word();
    return low | (std::uint32_t{Word()} << 16);
  }

  // Up to n bytes (fewer when the input runs out).
  std::string Bytes(std::size_t n) {
    const std::size_t take = n < Left() ? n : Left();
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
    return bytes;
  }

  std::string Rest() { return Bytes(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The text part of bytes as a C string sees it: everything before the first zero byte.
inline std::string TextPart(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

}  // namespace qc::fuzz
