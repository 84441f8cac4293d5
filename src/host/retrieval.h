// Taking the host's next message: pop, echo to every client, and script rewriting.
#pragma once

#include <cstdint>

#include "server/console_server.h"

namespace qc {

// Pops the newest pending text of the server with this GoID into its ResultText, queues its
// echo for every client, rewrites "[this]." and "[that](", all in one hold of StateLock, and
// returns ResultText, which stays valid until the next call or DescribeAttachment for this GoID.
// kEmptyText, with nothing queued and ResultText left alone, for an unknown GoID or an empty
// stack. Every caller shares the one ResultText of the console: the host must not make this
// call, or DescribeAttachment, for one GoID from two threads at once.
const char* TakeNextMessage(std::uint32_t goid);

// Rewrites "[this]." into the server's ThisPrefix, then "[that](" into "MakeGoid(", in text
// (kTextBytes). Rewriting stops at a token whose replacement would not fit; see ReplaceAll.
void RewriteScript(const ConsoleServer& server, char* text);

}  // namespace qc
