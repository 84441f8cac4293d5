// Tests in this folder act as a game host: they load the built library at run time and call
// the seven entry points by their exported names, never through the class declaration.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "loader/host_loader.h"
#include "support/models.h"
#include "support/test_support.h"

namespace qc::test {

// The library, loaded once per test process.
inline const loader::ConsoleApi& Console() {
  static loader::ConsoleApi api{};
  static const bool loaded = [] {
    std::string error;
    const bool ok = loader::LoadConsoleLibrary(QC_LIBRARY_PATH, api, error);
    if (!ok) ADD_FAILURE() << error;
    return ok;
  }();
  if (!loaded) std::abort();
  return api;
}

inline bool Spawn(unsigned goid, const char* templateName) {
  std::string name(templateName);
  return Console().SpawnServer(goid, name.data());
}

inline void Broadcast(unsigned goid, const std::string& text) {
  std::string copy(text);
  Console().BroadcastMsg(goid, copy.data());
}

// Polls GetNextMessage as a host's frame loop would, until it hands over a text.
inline std::string NextMessage(unsigned goid, int millis = kWaitMillis) {
  std::string text;
  WaitUntil([&] { return !(text = Console().GetNextMessage(goid)).empty(); }, millis);
  return text;
}

// Skips the host-side messages until one equal to expected arrives (for example the connected
// notices of several clients, in whatever order the workers pushed them).
inline bool TakeUntil(unsigned goid, const std::string& expected, int limit = 200) {
  for (int i = 0; i < limit; ++i) {
    const std::string text = NextMessage(goid);
    if (text.empty()) return false;
    if (text == expected) return true;
  }
  return false;
}

// "HH:MM:SS" followed by rest: matches one line as a developer receives it.
inline ::testing::AssertionResult IsStamped(const std::string& line, const std::string& rest) {
  if (IsStampedLine(line, rest)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "line [" << line << "] is not a time stamp and [" << rest << "]";
}

inline std::string ConnectedNotice(int port, int goid, const char* from = "127.0.0.1") {
  return std::string("QC_OK: ") + from + " connected (Port " + std::to_string(port) +
         ", GoID: " + std::to_string(goid) + ")";
}

inline std::string DisconnectedNotice(int port, int goid, const char* from = "127.0.0.1") {
  return std::string("QC_OK: ") + from + " disconnected (Port " + std::to_string(port) +
         ", GoID: " + std::to_string(goid) + ")";
}

constexpr const char* kWelcome =
    " QC_OK: Welcome to the Team Quillaret development console, v0.1\r\n";

// Connects a client and reads its welcome line.
inline ::testing::AssertionResult Attach(LoopbackClient& client, std::uint16_t port,
                                         const char* from = nullptr) {
  if (!client.Connect(port, kWaitMillis, from)) {
    return ::testing::AssertionFailure() << "cannot connect to port " << port;
  }
  return IsStamped(client.ReadUntil("\r\n"), kWelcome);
}

constexpr const char* kTimedOut = "QC_ERROR: Connection has timed out\r\n";

// With the receive time-out on, a session sends its notice only after it has taken everything
// sent before and then waited the full time. Reading the next notice after a send therefore
// proves that the piece was received on its own (given the time-out is long against the delay
// between a notice and the following send).
inline ::testing::AssertionResult SendAlone(LoopbackClient& client, const std::string& piece) {
  if (!client.Send(piece)) return ::testing::AssertionFailure() << "send failed";
  const std::string seen = client.ReadUntil(kTimedOut);
  if (seen.size() < std::string(kTimedOut).size()) {
    return ::testing::AssertionFailure() << "no time-out notice after the piece";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace qc::test
