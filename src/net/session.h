// The client session: welcome, announcement to the host, line assembly, the console's own
// commands, queuing of every other line for the host, and the bookkeeping when a client leaves.
#pragma once

#include <cstddef>

#include "common/fixed_text.h"
#include "server/console_server.h"
#include "net/sockets.h"

namespace qc {

// The line being collected from one client. Length is the accumulated text's length; Text is
// NUL-terminated at Length (the buffer is not cleared beyond what is written).
struct LineAssembler {
  char Text[kTextBytes];
  std::size_t Length;
};

struct PieceOutcome {
  bool Overflowed;  // the piece did not fit beside the line and was dropped
  bool Complete;    // the piece held a line feed: the whole accumulator is the line
};

// Starts a new, empty line.
void ResetLine(LineAssembler& line);

// Adds one received piece (pieceLength bytes; only the text before its first zero byte counts).
// When the line and the piece together stay below kTextBytes characters the piece is appended;
// otherwise the piece is dropped and the line is cut to at most kTextBytes-2 characters and a
// line feed appended. The line is complete when the piece itself holds a line feed.
PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength);

// The console's own commands, matched at the start of a complete line, case-sensitively.
enum class LineCommand { kQuit, kWho, kSpawns, kNone };
LineCommand MatchCommand(const char* line);

// A worker's working buffers, kept for the worker's whole life and reused for every client.
struct SessionBuffers {
  LineAssembler Line;
  char Received[kTextBytes];
  char Notice[kTextBytes];
  char ClientListing[kTextBytes];
  char ServerListing[kTextBytes];
  char Farewell[kTextBytes];
};

// Serves one accepted client until it leaves. Returns with the socket out of ClientList and
// closed, the disconnected notice pushed, and no lock held.
void ServeClient(ConsoleServer& server, Socket client, SessionBuffers& buffers);

}  // namespace qc
