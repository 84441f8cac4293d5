// The line rules of a client session, written plainly over std::string, and the decoding of a
// fuzzer input into the pieces a session might receive. Shared by line_fuzz and session_fuzz.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
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

  Outcome Add(std::string_view piece) {
    const std::string_view text = piece.substr(0, piece.find('\0'));
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
  // Starts the next line with the line's text from at on (an unfinished tail).
  void KeepFrom(std::size_t at) { line_.erase(0, at); }

 private:
  std::string line_;
};

enum class ModelCommand { kQuit, kWho, kSpawns, kNone };

// A command matches when the line begins with it, byte for byte.
inline ModelCommand CommandOf(std::string_view line) {
  if (line.substr(0, 6) == "[quit]") return ModelCommand::kQuit;
  if (line.substr(0, 5) == "[who]") return ModelCommand::kWho;
  if (line.substr(0, 8) == "[spawns]") return ModelCommand::kSpawns;
  return ModelCommand::kNone;
}

// Decodes the input into pieces. Each piece starts with an operation byte:
//   0: literal bytes (a length byte, then that many bytes);
//   1: a run of one byte value (a two-byte length, then the byte);
//   2: a run as above followed by up to 15 literal bytes;
//   3: one of a few whole lines the console treats specially.
// Runs let a small input reach the 64 KiB limits. Pieces are at most maxPieceBytes long, and
// all of them together totalBytes: the piece that reaches it is cut, and decoding stops. The
// pieces go into the first elements of pieces, whose strings keep their blocks from input to
// input (a target that allocated up to 10 MiB of pieces afresh for every input spent its time
// in the allocator); returns how many.
inline std::size_t DecodePieces(Input& in, std::size_t maxPieces, std::size_t maxPieceBytes,
                                std::vector<std::string>& pieces,
                                std::size_t totalBytes = static_cast<std::size_t>(-1)) {
  static const char* const kSpecial[] = {
      "[quit]\r\n", "[who]\r\n", "[spawns]\n", "[quit]", "\n",   "\r\n",
      "[who]x\n",   " [who]\n",  "[QUIT]\n",   "[wh",    "o]\n", "[this].x\n",
  };
  std::size_t count = 0;
  while (!in.Empty() && count < maxPieces) {
    const std::uint8_t op = in.Byte();
    if (count == pieces.size()) pieces.emplace_back();
    std::string& piece = pieces[count++];
    const std::size_t most = maxPieceBytes < totalBytes ? maxPieceBytes : totalBytes;
    switch (op % 4) {
      case 0:
        in.BytesInto(in.Byte(), piece);
        break;
      case 1: {
        const std::size_t length = in.Word();
        piece.assign(length < most ? length : most, static_cast<char>(in.Byte()));
        break;
      }
      case 2: {
        const std::size_t length = in.Word();
        piece.assign(length < most ? length : most, static_cast<char>(in.Byte()));
        in.AppendBytes(in.Byte() % 16, piece);
        break;
      }
      default:
        piece = kSpecial[in.Byte() % (sizeof kSpecial / sizeof kSpecial[0])];
        break;
    }
    if (piece.size() > most) piece.resize(most);
    totalBytes -= piece.size();
    if (totalBytes == 0) break;
  }
  return count;
}

}  // namespace qc::fuzz
