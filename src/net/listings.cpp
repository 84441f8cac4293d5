// "[who]" and "[spawns]": numbered rows, each with a fresh time stamp.
#include "net/listings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/timestamp.h"
#include "net/broadcast.h"
#include "net/sockets.h"

namespace qc {
namespace {

constexpr const char kEndOfList[] = "QC_OK: End of list\r\n";

// Collects lines in a kTextBytes buffer and queues what it holds when the next line would not
// fit, so a listing of any size reaches the client whole.
class ListingWriter {
 public:
  ListingWriter(ClientState& client, char* buffer) : client_(client), buffer_(buffer) {
    buffer_[0] = '\0';
  }

  // Appends the time stamp, one space, and the formatted text.
  void AppendLine(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    // Room for the longest line: a row with a 1,023-character template name and its numbers.
    char row[kNameBytes * 2];
    WriteTimestamp(row);
    row[kTimestampChars] = ' ';
    va_list args;
    va_start(args, format);
    const std::size_t length =
        kTimestampChars + 1 +
        platform::FormatTextV(row + kTimestampChars + 1, sizeof row - kTimestampChars - 1, format,
                              args);
    va_end(args);
    if (used_ + length >= kTextBytes) Flush();
    std::memcpy(buffer_ + used_, row, length);
    used_ += length;
    buffer_[used_] = '\0';
  }

  void Flush() {
    QueueToClient(client_, buffer_, used_);
    used_ = 0;
    buffer_[0] = '\0';
  }

 private:
  ClientState& client_;
  char* buffer_;
  std::size_t used_ = 0;
};

const char* ZeroPrefix(int row) { return row < 10 ? "0" : ""; }

}  // namespace

void SendClientListing(ConsoleServer& server, ClientState& client, char* buffer) {
  // ClientList changes only on the console's own thread, which is building this.
  ListingWriter writer(client, buffer);
  writer.AppendLine("QC_OK: Currently connected clients (Port: %d, GoID: %d, TemplateName: %s)\r\n",
                    int{server.Port}, static_cast<int>(server.GoID), server.TemplateName);
  const int count = server.ClientCount.load(std::memory_order_relaxed);
  for (int i = 0; i < count; ++i) {
    char address[kAddressTextBytes];
    GetPeerAddressText(server.ClientList[i], address);
    writer.AppendLine("QC_OK: [%s%d]\t%s\r\n", ZeroPrefix(i + 1), i + 1, address);
  }
  writer.AppendLine("%s", kEndOfList);
  writer.Flush();
}

void SendServerListing(ClientState& client, char* buffer) {
  ListingWriter writer(client, buffer);
  writer.AppendLine("QC_OK: Currently spawned servers\r\n");
  ServerRegistry& registry = Registry();
  for (int i = 0; i < registry.Count.load(std::memory_order_acquire); ++i) {
    const ConsoleServer& listed = *registry.Servers[i];
    writer.AppendLine("QC_OK: [%s%d]\tPort: %d, GoID: %d, TemplateName: %s\r\n", ZeroPrefix(i + 1),
                      i + 1, int{listed.Port}, static_cast<int>(listed.GoID), listed.TemplateName);
  }
  writer.AppendLine("%s", kEndOfList);
  writer.Flush();
}

}  // namespace qc
