// What the console sends to every attached developer: the system-notice rule, the broadcast
// line format, and the send-to-everyone loop.
#pragma once

#include <cstddef>

#include "server/console_server.h"

namespace qc {

// True when text begins with "QC_OK:", "QC_ERROR:" or "QC_REPORT:" (case-sensitive).
bool IsSystemNotice(const char* text);

// Longest head of a broadcast line: the time stamp and " QC_MSG: ".
constexpr std::size_t kBroadcastHeadBytes = 24;

// Writes the head of text's broadcast line into head (kBroadcastHeadBytes): the current time
// stamp and one space for a system notice, the time stamp and " QC_MSG: " for any other text.
// Returns its length. No NUL is written.
std::size_t WriteBroadcastHead(const char* text, char* head);
// The end of text's broadcast line: CR LF for a system notice, nothing for any other text.
const char* BroadcastTail(const char* text);

// Builds the whole broadcast line of text (textLength characters) into line (capacity bytes)
// and NUL-terminates it. Returns the line's length, or 0 with nothing written when the line
// would not fit in capacity-1 characters.
std::size_t FormatBroadcastLine(const char* text, std::size_t textLength, char* line,
                                std::size_t capacity);

// Sends text to every client of the server in the broadcast line format, each line with its own
// time stamp. Takes StateLock (recursively when the caller holds it) for the whole loop.
// An empty text sends nothing. The line is built in the server's BroadcastLine; a line too long
// for it still goes out whole, as consecutive sends of head, text and end. Failed sends are
// ignored (the client's own session notices a broken connection), but a client that takes
// nothing for the server's SendTimeoutMillis is shut down and leaves ClientList at once.
void SendToAllClients(ConsoleServer& server, const char* text);

}  // namespace qc
