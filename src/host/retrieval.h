// Taking the host's next message: pop, echo to every client, and script rewriting.
#pragma once

#include <cstdint>

#include "host/console_server.h"

namespace qc {

// Pops the newest pending text of the server with this GoID into its ResultText, echoes it to
// every client (in the same hold of StateLock as the pop), rewrites "[this]." and "[that]("
// outside the lock, and returns ResultText. kEmptyText, with nothing sent and ResultText left
// alone, for an unknown GoID or an empty stack.
const char* TakeNextMessage(std::uint32_t goid);

// Rewrites "[this]." into the server's ThisPrefix, then "[that](" into "MakeGoid(", in text
// (kTextBytes). Rewriting stops at a token whose replacement would not fit; see ReplaceAll.
void RewriteScript(const ConsoleServer& server, char* text);

}  // namespace qc
