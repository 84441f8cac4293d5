// The session log of --log.
#include "client/core/session_log.h"

#include "client/core/platform.h"
#include "client/core/protocol.h"

namespace qc::attach {

SessionLog::~SessionLog() {
  if (file_ != nullptr) (void)std::fclose(file_);
}

bool SessionLog::Open(const std::string& path) {
  if (file_ != nullptr) (void)std::fclose(file_);
  file_ = std::fopen(path.c_str(), "ab");
  return file_ != nullptr;
}

void SessionLog::Write(const std::string& text) {
  if (file_ == nullptr) return;
  const std::string line = LocalDateTime() + " " + EscapeControlBytes(text) + "\n";
  (void)std::fwrite(line.data(), 1, line.size(), file_);
  (void)std::fflush(file_);
}

}  // namespace qc::attach
