// The broadcast line format for texts of any length. FormatBroadcastLine must build exactly the
// time stamp and " " + text + CR LF (a system notice) or " QC_MSG: " + text (anything else), or
// report that the line does not fit, without writing past its buffer; and SendToAllClients must
// deliver that same line whole to every client, also when it is too long for the 64 KiB line
// buffer, and nothing for the empty text.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/timestamp.h"
#include "fuzz_support.h"
#include "net/broadcast.h"
#include "server/console_server.h"
#include "support/models.h"

namespace {

constexpr int kClients = 2;
// Longest text tried. Each client's socket takes the whole line without being read, so the
// send loop needs no reader thread.
constexpr std::size_t kMaxText = 140000;

// A server record with two clients whose far ends this target reads. The library's ends stay
// blocking, as every socket of the console is.
struct Listeners {
  qc::ConsoleServer* server;
  int readers[kClients];

  Listeners() {
    server = qc::NewConsoleServer(0, "");
    for (int i = 0; i < kClients; ++i) {
      int pair[2];
      QC_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
      const int bytes = 1 << 20;
      ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
      ::setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
      server->ClientList[server->ClientCount++] = pair[0];
      readers[i] = pair[1];
      ::fcntl(readers[i], F_SETFL, ::fcntl(readers[i], F_GETFL) | O_NONBLOCK);
    }
  }

  // Everything waiting on a reader's socket.
  std::string Drain(int reader) {
    std::string bytes;
    static char chunk[1 << 16];
    for (;;) {
      const ssize_t n = ::recv(reader, chunk, sizeof chunk, 0);
      if (n <= 0) return bytes;
      bytes.append(chunk, static_cast<std::size_t>(n));
    }
  }
};

bool IsNotice(const std::string& text) {
  for (const char* prefix : {"QC_OK:", "QC_ERROR:", "QC_REPORT:"}) {
    if (text.compare(0, std::strlen(prefix), prefix) == 0) return true;
  }
  return false;
}

// The line after its time stamp.
std::string LineRest(const std::string& text) {
  return IsNotice(text) ? " " + text + "\r\n" : " QC_MSG: " + text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using qc::test::IsStampedLine;
  static Listeners* const listeners = new Listeners;
  qc::fuzz::Input in(data, size);
  const std::string head = in.Bytes(in.Byte() % 16);
  const std::size_t filler = static_cast<std::size_t>(in.Byte() % 4) * 32768 + in.Word();
  const std::string fill(filler, static_cast<char>(in.Byte()));
  const std::size_t capacity = 1 + in.Word();
  std::string text = qc::fuzz::TextPart(head + fill + in.Rest());
  if (text.size() > kMaxText) text.resize(kMaxText);
  const std::string rest = LineRest(text);

  // The head on its own, in a block of exactly its size.
  std::unique_ptr<char[]> headBytes(new char[qc::kBroadcastHeadBytes]);
  const std::size_t headLength = qc::WriteBroadcastHead(text.c_str(), headBytes.get());
  const std::string tail = qc::BroadcastTail(text.c_str());
  QC_FUZZ_CHECK(headLength <= qc::kBroadcastHeadBytes);
  QC_FUZZ_CHECK(IsStampedLine(std::string(headBytes.get(), headLength) + text + tail, rest));

  // The whole line, into a buffer of 1 to 65,536 bytes.
  std::unique_ptr<char[]> line(new char[capacity]);
  const std::size_t lineLength =
      qc::FormatBroadcastLine(text.c_str(), text.size(), line.get(), capacity);
  if (qc::kTimestampChars + rest.size() >= capacity) {
    QC_FUZZ_CHECK(lineLength == 0);
  } else {
    QC_FUZZ_CHECK(lineLength == qc::kTimestampChars + rest.size());
    QC_FUZZ_CHECK(line[lineLength] == '\0');
    QC_FUZZ_CHECK(IsStampedLine(std::string(line.get(), lineLength), rest));
  }

  // Every client receives the line whole; the empty text sends nothing at all.
  qc::SendToAllClients(*listeners->server, text.c_str());
  for (int reader : listeners->readers) {
    const std::string received = listeners->Drain(reader);
    if (text.empty()) {
      QC_FUZZ_CHECK(received.empty());
    } else {
      QC_FUZZ_CHECK(IsStampedLine(received, rest));
    }
  }
  return 0;
}
