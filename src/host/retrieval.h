// Taking the host's next message: pop, echo to every client, and script rewriting.
#pragma once

#include <cstdint>

#include "server/console_server.h"

namespace qc {

// Pops the newest pending text of the server with this GoID into its ResultText, echoes it to
// every client, rewrites "[this]." and "[that](", all in one hold of StateLock, and returns
// ResultText, which stays valid until the next call for this GoID from any thread.
// kEmptyText, with nothing sent and ResultText left alone, for an unknown GoID or an empty
// stack. Safe to call from several threads at once: each entry goes to exactly one caller.
const char* TakeNextMessage(std::uint32_t goid);

// Rewrites "[this]." into the server's ThisPrefix, then "[that](" into "MakeGoid(", in text
// (kTextBytes). Rewriting stops at a token whose replacement would not fit; see ReplaceAll.
void RewriteScript(const ConsoleServer& server, char* text);

}  // namespace qc
