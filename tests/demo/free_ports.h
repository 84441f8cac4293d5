// Ports for the demo's tests. A port of the block may still be held by a connection of an
// earlier run in TIME_WAIT, so a test takes the first ports of its block that are free now.
#pragma once

#include <cstdint>

#include "loader/port_probe.h"
#include "support/test_support.h"

namespace qc::test {

// The first port p of PortBlock(block) such that p .. p+count-1 are all free; the block's first
// port when none are (the test then fails on the port it tried).
inline std::uint16_t FreePorts(int block, int count) {
  const std::uint16_t first = PortBlock(block);
  for (int offset = 0; offset + count <= 10; ++offset) {
    bool free = true;
    for (int i = 0; i < count && free; ++i) {
      free = loader::CanListenOn(static_cast<std::uint16_t>(first + offset + i));
    }
    if (free) return static_cast<std::uint16_t>(first + offset);
  }
  return first;
}

}  // namespace qc::test
