// Memory from AllocatePages, checked with mincore (POSIX only): a console's loop keeps its
// buffers there, and an idle console must not hold physical memory for what it never wrote.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/platform.h"

namespace qc {
namespace {

// How many pages of [block, block + bytes) are resident.
int ResidentPages(void* block, std::size_t bytes) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((bytes + page - 1) / page);
  if (mincore(block, bytes, resident.data()) != 0) return -1;
  int count = 0;
  for (unsigned char r : resident) count += r & 1;
  return count;
}

TEST(AllocatePagesTest, PagesStayOutOfMemoryUntilWrittenAndReadAsZeros) {
  const std::size_t bytes = 200 * 1024;
  void* block = platform::AllocatePages(bytes);
  ASSERT_NE(block, nullptr);
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % page, 0u);
  // A heap block of this size has the allocator's bookkeeping written into its first page.
  EXPECT_EQ(ResidentPages(block, bytes), 0);

  static_cast<char*>(block)[bytes - 1] = 'x';  // one page written: one page resident
  EXPECT_EQ(ResidentPages(block, bytes), 1);

  const auto* bytesRead = static_cast<const unsigned char*>(block);
  std::size_t nonZero = 0;
  for (std::size_t i = 0; i < bytes; ++i) nonZero += bytesRead[i] != 0;
  EXPECT_EQ(nonZero, 1u);  // the 'x' alone
  platform::FreePages(block, bytes);

  // More than the address space holds is refused, not met by a crash.
  EXPECT_EQ(platform::AllocatePages(std::numeric_limits<std::size_t>::max() / 2), nullptr);
  platform::FreePages(nullptr, 0);
}

}  // namespace
}  // namespace qc
