// A connection's input as it is typed: complete lines waiting for their turn, then the line
// being typed, with the overflow rule of a line that grows too long.
#pragma once

#include <cstddef>

namespace qc {

// What one client sent that is not handled yet: complete lines waiting for their turn (the
// first Ready bytes, up to a line feed), then the line being typed. Text (Capacity bytes)
// grows as needed, to at most kMostLineBytes (net/limits.h), and is
// NUL-terminated at Length; null while nothing was ever added.
struct LineAssembler {
  char* Text;
  std::size_t Length;
  std::size_t Capacity;
  std::size_t Ready;
};

struct PieceOutcome {
  bool Overflowed;  // the piece did not fit beside the line and was dropped
  bool Complete;    // the piece held a line feed: the whole accumulator is the line
  bool NoMemory;    // the line could not grow: the piece was dropped
};

// Starts a new, empty line; a buffer grown large for a long line is given back.
void ResetLine(LineAssembler& line);
// Gives back the line's buffer.
void ReleaseLine(LineAssembler& line);

// Adds one received piece (pieceLength bytes; only the text before its first zero byte counts)
// to a line with no ready lines. The line being typed is what follows the ready lines and the
// piece up to its first line feed (all of it, without one): when that stays below kTextBytes
// characters the piece is appended; otherwise the piece is dropped and the line being typed is
// cut to at most kTextBytes-2 characters and a line feed appended. Complete lines already
// there or in the piece never count. When the piece holds a line feed, everything up to the
// last line feed becomes ready.
PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength);
// Removes the first count bytes (ready lines being handled) from the front of the line.
void DropFront(LineAssembler& line, std::size_t count);

}  // namespace qc
