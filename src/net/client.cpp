// Connection state and line assembly.
#include "net/client.h"

#include <cstring>

#include "common/fixed_text.h"

namespace qc {
namespace {

constexpr std::size_t kFirstLineBytes = 256;
// A line buffer that grew past this for a long line is given back when the line is done.
constexpr std::size_t kKeptLineBytes = 4096;

// Makes room for a line of length characters and its NUL.
bool Reserve(LineAssembler& line, std::size_t length) {
  if (length < line.Capacity) return true;
  std::size_t capacity = line.Capacity == 0 ? kFirstLineBytes : line.Capacity;
  while (capacity <= length) capacity *= 2;
  if (capacity > kTextBytes) capacity = kTextBytes;
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
  if (line.Text != nullptr) line.Text[0] = '\0';
}

void ReleaseLine(LineAssembler& line) {
  platform::FreeMemory(line.Text);
  line = LineAssembler{};
}

PieceOutcome AddPiece(LineAssembler& line, const char* piece, std::size_t pieceLength) {
  const std::size_t textLength = BoundedLength(piece, pieceLength);
  const bool complete = std::memchr(piece, '\n', textLength) != nullptr;
  if (line.Length + textLength < kTextBytes) {
    if (!Reserve(line, line.Length + textLength)) return {false, complete, true};
    std::memcpy(line.Text + line.Length, piece, textLength);
    line.Length += textLength;
    line.Text[line.Length] = '\0';
    return {false, complete, false};
  }
  // The piece does not fit: it is lost whole, and the line ends in a line feed of its own.
  if (line.Length > kTextBytes - 2) line.Length = kTextBytes - 2;
  if (!Reserve(line, line.Length + 1)) return {true, complete, true};
  line.Text[line.Length++] = '\n';
  line.Text[line.Length] = '\0';
  return {true, complete, false};
}

ClientState* NewClientState(Socket connection) {
  auto* client = static_cast<ClientState*>(platform::AllocateZeroedMemory(sizeof(ClientState)));
  if (client == nullptr) return nullptr;
  client->Connection = connection;
  return client;
}

void DeleteClientState(ClientState* client) {
  if (client == nullptr) return;
  ReleaseLine(client->Line);
  ClearQueue(client->Output);
  platform::FreeMemory(client);
}

}  // namespace qc
