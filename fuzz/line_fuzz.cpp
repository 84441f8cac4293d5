// Line assembly and command matching (AddPiece, ResetLine, MatchCommand) against the line
// rules written plainly in line_model.h, for any sequence of received pieces.
#include <cstdint>
#include <cstring>
#include <memory>

#include "line_model.h"
#include "net/client.h"
#include "net/protocol.h"

namespace {

qc::fuzz::ModelCommand Convert(qc::LineCommand command) {
  switch (command) {
    case qc::LineCommand::kQuit:
      return qc::fuzz::ModelCommand::kQuit;
    case qc::LineCommand::kWho:
      return qc::fuzz::ModelCommand::kWho;
    case qc::LineCommand::kSpawns:
      return qc::fuzz::ModelCommand::kSpawns;
    case qc::LineCommand::kNone:
      break;
  }
  return qc::fuzz::ModelCommand::kNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qc::fuzz;
  static qc::LineAssembler* const line = new qc::LineAssembler{};
  Input in(data, size);
  static std::vector<std::string>* const pieces = new std::vector<std::string>;
  const std::size_t count = DecodePieces(in, 256, kMaxPieceBytes + 16, *pieces);

  qc::ResetLine(*line);
  LineModel model;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& bytes = (*pieces)[i];
    // The piece sits in a block of exactly its size, so a read past it is caught.
    std::unique_ptr<char[]> piece(new char[bytes.size()]);
    std::memcpy(piece.get(), bytes.data(), bytes.size());
    const qc::PieceOutcome got = qc::AddPiece(*line, piece.get(), bytes.size());
    const LineModel::Outcome want = model.Add(bytes);

    QC_FUZZ_CHECK(got.Overflowed == want.overflowed);
    QC_FUZZ_CHECK(got.Complete == want.complete);
    // Complete lines may wait beside a line of at most kMaxLineChars.
    QC_FUZZ_CHECK(line->Length <= (got.Complete ? 2 * kMaxLineChars : kMaxLineChars));
    QC_FUZZ_CHECK(line->Length == model.Line().size());
    QC_FUZZ_CHECK(line->Ready == (got.Complete ? model.Line().rfind('\n') + 1 : 0));
    QC_FUZZ_CHECK(std::memcmp(line->Text, model.Line().data(), line->Length) == 0);
    QC_FUZZ_CHECK(line->Text[line->Length] == '\0');
    if (want.overflowed) QC_FUZZ_CHECK(line->Text[line->Length - 1] == '\n');

    if (got.Complete) {
      QC_FUZZ_CHECK(Convert(qc::MatchCommand(line->Text)) == CommandOf(model.Line()));
      qc::ResetLine(*line);
      model.Reset();
      QC_FUZZ_CHECK(line->Length == 0 && (line->Text == nullptr || line->Text[0] == '\0'));
    }
  }
  return 0;
}
