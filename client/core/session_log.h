// --log FILE: the session appended to a file, each line after its local date and time.
#pragma once

#include <cstdio>
#include <string>

namespace qc::attach {

class SessionLog {
 public:
  SessionLog() = default;
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;
  ~SessionLog();

  // Opens path for appending (created when missing). False when it cannot be.
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  // Appends "YYYY-MM-DD HH:MM:SS " and the text (control bytes escaped) as one line, written
  // out at once so that a session cut short keeps what it showed. Nothing when not open.
  void Write(const std::string& text);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace qc::attach
