// Portable parts of the test helpers.
#include "support/test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qc::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

// QC_TEST_PORT_OFFSET shifts every block, so that two checkouts can run their tests on one
// machine at the same time.
std::uint16_t PortBlock(int n) {
  const char* offset = std::getenv("QC_TEST_PORT_OFFSET");
  const int shift = offset != nullptr ? std::atoi(offset) : 0;
  return static_cast<std::uint16_t>(20000 + shift + n * 10);
}

bool WaitUntil(const std::function<bool()>& pred, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    os::SleepMillis(2);
  }
}

void WriteProfile(const std::string& text) {
  const std::string path = os::ProfilePath();
  std::remove(path.c_str());
  if (text.empty()) return;
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string ProfileWithPort(std::uint16_t basePort, const std::string& moreLines) {
  return "[QCServer]\nBasePort=" + std::to_string(basePort) + "\n" + moreLines;
}

LoopbackClient::~LoopbackClient() { Close(); }

bool LoopbackClient::Connect(std::uint16_t port, int millis, const char* from) {
  Close();
  pending_.clear();
  return WaitUntil([&] { return (socket_ = os::ConnectLoopback(port, from)) >= 0; }, millis);
}

bool LoopbackClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n =
        os::SendBytes(socket_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int LoopbackClient::ReceiveOnce(int millis) {
  char buffer[65536];
  const int n = os::ReceiveWithin(socket_, buffer, sizeof buffer, millis);
  if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
  return n;
}

std::string LoopbackClient::ReadUntil(const std::string& needle, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  for (;;) {
    const std::size_t at = pending_.find(needle);
    if (at != std::string::npos) {
      std::string line = pending_.substr(0, at + needle.size());
      pending_.erase(0, at + needle.size());
      return line;
    }
    if (socket_ < 0 || MillisLeft(deadline) == 0) return "";
    const int n = ReceiveOnce(MillisLeft(deadline));
    if (n == 0 || n == -1) {  // the connection ended or failed: nothing more can arrive
      if (pending_.find(needle) == std::string::npos) return "";
    }
  }
}

std::string LoopbackClient::ReadBytes(std::size_t count, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  while (pending_.size() < count && socket_ >= 0 && MillisLeft(deadline) > 0) {
    const int n = ReceiveOnce(MillisLeft(deadline));
    if (n == 0 || n == -1) break;
  }
  std::string bytes = pending_.substr(0, count);
  pending_.erase(0, bytes.size());
  return bytes;
}

std::string LoopbackClient::ReadFor(int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  while (socket_ >= 0 && MillisLeft(deadline) > 0) {
    const int n = ReceiveOnce(MillisLeft(deadline));
    if (n == 0 || n == -1) break;
  }
  std::string bytes;
  bytes.swap(pending_);
  return bytes;
}

bool LoopbackClient::WaitClosed(int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  while (socket_ >= 0 && MillisLeft(deadline) > 0) {
    const int n = ReceiveOnce(MillisLeft(deadline));
    if (n == 0 || n == -1) return true;
  }
  return false;
}

void LoopbackClient::Reset() {
  if (socket_ >= 0) os::ResetAndClose(socket_);
  socket_ = -1;
}

void LoopbackClient::ShutdownSending() {
  if (socket_ >= 0) os::ShutdownSending(socket_);
}

void LoopbackClient::Close() {
  if (socket_ >= 0) os::Close(socket_);
  socket_ = -1;
}

StderrCapture::StderrCapture() : path_(os::TempFilePath("stderr")) {
  std::fflush(stderr);
  savedFd_ = os::RedirectStderr(path_);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  os::RestoreStderr(savedFd_);
  std::remove(path_.c_str());
}

std::string StderrCapture::Text() const {
  std::ifstream in(path_, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  if (os::StderrTranslatesLineEnds()) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
    }
    text.swap(plain);
  }
  return text;
}

bool StderrCapture::WaitFor(const std::string& needle, int millis) const {
  return WaitUntil([&] { return Text().find(needle) != std::string::npos; }, millis);
}

int StderrCapture::Count(const std::string& needle) const {
  const std::string text = Text();
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

SocketPair MakeSocketPair(std::uint16_t port) {
  SocketPair pair;
  const int listening = os::ListenLoopback(port);
  if (listening < 0) return pair;
  pair.client = os::ConnectLoopback(port);
  if (pair.client >= 0) pair.server = os::AcceptOne(listening);
  os::Close(listening);
  return pair;
}

void CloseSocket(int s) {
  if (s >= 0) os::Close(s);
}

std::string ReceiveBytes(int s, std::size_t count, int millis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
  std::string bytes;
  char buffer[65536];
  while (bytes.size() < count && MillisLeft(deadline) > 0) {
    const std::size_t wanted = std::min(count - bytes.size(), sizeof buffer);
    const int n = os::ReceiveWithin(s, buffer, static_cast<int>(wanted), MillisLeft(deadline));
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

}  // namespace qc::test
