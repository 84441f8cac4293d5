// Shared pieces of the fuzz targets: a reader that turns the fuzzer's bytes into the values a
// target needs, and the check that stops the run with a message when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Marking a kept block's unused part unaddressable under AddressSanitizer; nothing elsewhere
// (MinGW has no sanitizer headers).
#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#if !defined(ASAN_POISON_MEMORY_REGION)
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace qc::fuzz {

// Reports a broken invariant and aborts, which libFuzzer records as a crash with its input and
// the replay runner turns into a failed test.
[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define QC_FUZZ_CHECK(condition)                                        \
  do {                                                                  \
    if (!(condition)) ::qc::fuzz::Fail(__FILE__, __LINE__, #condition); \
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
    std::string bytes;
    AppendBytes(n, bytes);
    return bytes;
  }
  // The same, into a string whose block is reused, or after what it holds.
  void BytesInto(std::size_t n, std::string& bytes) {
    bytes.clear();
    AppendBytes(n, bytes);
  }
  void AppendBytes(std::size_t n, std::string& bytes) {
    const std::size_t take = n < Left() ? n : Left();
    bytes.append(reinterpret_cast<const char*>(data_ + at_), take);
    at_ += take;
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
