// The broadcast line format for texts of any length. FormatBroadcastLine must build exactly the
// time stamp and " " + text + CR LF (a system notice) or " QC_MSG: " + text (anything else), or
// report that the line does not fit, without writing past its buffer; and SendToAllClients must
// queue that same line whole for every client, also when it is too long for the 64 KiB line
// buffer, and nothing for the empty text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/timestamp.h"
#include "fuzz_support.h"
#include "common/locks.h"
#include "net/broadcast.h"
#include "net/client.h"
#include "server/console_server.h"
#include "support/models.h"
#include "support/queued_output.h"

namespace {

constexpr int kClients = 2;
// Longest text tried.
constexpr std::size_t kMaxText = 140000;

// A server record with two listed clients without sockets; what the console's loop would
// send each is read from its output queue.
struct Listeners {
  qc::ConsoleServer* server;
  qc::ClientState* clients[kClients];
  qc::InboxBatch batch{};

  Listeners() {
    server = qc::NewConsoleServer(0, "");
    for (int i = 0; i < kClients; ++i) {
      clients[i] = qc::NewClientState(100 + i);
      qc::AddClient(*server, clients[i]->Connection, clients[i]);
    }
  }

  // Hands the inbox out as the loop does.
  void HandOut() {
    {
      qc::MutexHold hold(server->StateLock);
      qc::TakeInbox(*server, batch);
    }
    qc::DistributeInbox(*server, batch);
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

  // Every client is queued the line whole; the empty text queues nothing at all.
  qc::SendToAllClients(*listeners->server, text.c_str());
  listeners->HandOut();
  for (qc::ClientState* client : listeners->clients) {
    QC_FUZZ_CHECK(client->Output.Drop == qc::ClientDrop::kNone);
    const std::string received = qc::test::TakeQueued(client->Output.Queue);
    if (text.empty()) {
      QC_FUZZ_CHECK(received.empty());
    } else {
      QC_FUZZ_CHECK(IsStampedLine(received, rest));
    }
  }
  return 0;
}
