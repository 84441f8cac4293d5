// Line assembly: pieces joined into lines, and lines too long cut.
#include "net/line_assembler.h"

#include <cstring>

#include "common/fixed_text.h"
#include "net/limits.h"
#include "platform/platform.h"

namespace qc {
namespace {

constexpr std::size_t kFirstLineBytes = 256;

// Makes room for a line of length characters and its NUL.
bool Reserve(LineAssembler& line, std::size_t length) {
  if (length < line.Capacity) return true;
  if (length >= kMostLineBytes) return false;  // never asked for by the line rules
  std::size_t capacity = line.Capacity == 0 ? kFirstLineBytes : line.Capacity;
  while (capacity <= length) capacity *= 2;
  if (capacity > kMostLineBytes) capacity = kMostLineBytes;
  void* grown = platform::ResizeMemory(line.Text, capacity);
  if (grown == nullptr) return false;
  line.Text = static_cast<char*>(grown);
  line.Capacity = capacity;
  return true;
}

}  // namespace

void ResetLine(LineAssembler& line) {
  if (line.Capacity > kKeptLineBytes) ReleaseLine(line);
  line.Length = 0;
  line.Ready = 0;
  if (line.Text != nullptr) line.Text[0] = '\0';
}

void DropFront(LineAssembler& line, std::size_t count) {
  line.Length -= count;
  line.Ready -= count;
  std::memmove(line.Text, line.Text + count, line.Length);
  line.Text[line.Length] = '\0';
}

void ReleaseLine(LineAssembler& line) {
  platform::FreeMemory(line.Text);
  line = LineAssembler{};
}

PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength) {
  const std::size_t textLength = BoundedLength(piece, pieceLength);
  const char* firstFeed = static_cast<const char*>(std::memchr(piece, '\n', textLength));
  const bool complete = firstFeed != nullptr;
  const std::size_t typed = line.Length - line.Ready;
  const std::size_t head = complete ? static_cast<std::size_t>(firstFeed - piece) + 1 : textLength;
  if (typed + head < kTextBytes) {
    if (!Reserve(line, line.Length + textLength)) return {false, complete, true};
    std::memcpy(line.Text + line.Length, piece, textLength);
    line.Length += textLength;
    line.Text[line.Length] = '\0';
  } else {
    // The piece does not fit: it is lost whole, and the line being typed ends in a line feed
    // of its own.
    if (typed > kTextBytes - 2) line.Length = line.Ready + kTextBytes - 2;
    if (!Reserve(line, line.Length + 1)) return {true, complete, true};
    line.Text[line.Length++] = '\n';
    line.Text[line.Length] = '\0';
    if (!complete) return {true, false, false};
  }
  if (complete) {
    std::size_t ready = line.Length;
    while (line.Text[ready - 1] != '\n') --ready;
    line.Ready = ready;
  }
  return {typed + head >= kTextBytes, complete, false};
}

}  // namespace qc
