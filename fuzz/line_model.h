// The line rules of a client session, written plainly over std::string, and the decoding of a
// fuzzer input into the pieces a session might receive. Shared by line_fuzz and session_fuzz.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace qc::fuzz {

constexpr std::size_t kMaxLineChars = 65535;   // a line holds at most this many characters
constexpr std::size_t kMaxPieceBytes = 65535;  // one receive takes at most this many bytes

// One line being collected, by the rules: a piece counts up to its first zero byte; it is
// appended while the line and the piece up to its first line feed (all of it, without one)
// stay within kMaxLineChars, the complete lines the piece brings after it never counting;
// otherwise it is dropped, the line is cut to 65,534 characters at most and gets a line feed.
// The line is complete when the piece held a line feed (whether or not the piece was kept).
class LineModel {
 public:
  struct Outcome {
    bool overflowed;
    bool complete;
  };

  Outcome Add(const std::string& piece) {
    const std::string text = TextPart(piece);
    const std::size_t firstFeed = text.find('\n');
    const bool complete = firstFeed != std::string::npos;
    const std::size_t head = complete ? firstFeed + 1 : text.size();
    if (line_.size() + head <= kMaxLineChars) {
      line_ += text;
      return {false, complete};
    }
    if (line_.size() > kMaxLineChars - 1) line_.resize(kMaxLineChars - 1);
    line_ += '\n';
    return {true, complete};
  }

  const std::string& Line() const { return line_; }
  void Reset() { line_.clear(); }
  // Starts the next line with text already received (an unfinished tail).
  void Keep(const std::string& text) { line_ = text; }

 private:
  std::string line_;
};

enum class ModelCommand { kQuit, kWho, kSpawns, kNone };

// A command matches when the line begins with it, byte for byte.
inline ModelCommand CommandOf(const std::string& line) {
  if (line.rfind("[quit]", 0) == 0) return ModelCommand::kQuit;
  if (line.rfind("[who]", 0) == 0) return ModelCommand::kWho;
  if (line.rfind("[spawns]", 0) == 0) return ModelCommand::kSpawns;
  return ModelCommand::kNone;
}

// Decodes the input into pieces. Each piece starts with an operation byte:
//   0: literal bytes (a length byte, then that many bytes);
//   1: a run of one byte value (a two-byte length, then the byte);
//   2: a run as above followed by up to 15 literal bytes;
//   3: one of a few whole lines the console treats specially.
// Runs let a small input reach the 64 KiB limits. Pieces are at most maxPieceBytes long.
inline std::vector<std::string> DecodePieces(Input& in, std::size_t maxPieces,
                                             std::size_t maxPieceBytes) {
  static const char* const kSpecial[] = {
      "[quit]\r\n", "[who]\r\n", "[spawns]\n", "[quit]", "\n",       "\r\n",
      "[who]x\n",   " [who]\n",  "[QUIT]\n",   "[wh",    "o]\n",     "[this].x\n",
  };
  std::vector<std::string> pieces;
  while (!in.Empty() && pieces.size() < maxPieces) {
    const std::uint8_t op = in.Byte();
    std::string piece;
    switch (op % 4) {
      case 0:
        piece = in.Bytes(in.Byte());
        break;
      case 1: {
        const std::size_t length = in.Word();
        piece.assign(length, static_cast<char>(in.Byte()));
        break;
      }
      case 2: {
        const std::size_t length = in.Word();
        piece.assign(length, static_cast<char>(in.Byte()));
        piece += in.Bytes(in.Byte() % 16);
        break;
      }
      default:
        piece = kSpecial[in.Byte() % (sizeof kSpecial / sizeof kSpecial[0])];
        break;
    }
    if (piece.size() > maxPieceBytes) piece.resize(maxPieceBytes);
    pieces.push_back(piece);
  }
  return pieces;
}

}  // namespace qc::fuzz
