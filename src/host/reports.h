// Report calls and the two host probes.
#pragma once

#include <cstdint>

namespace qc {

// When text is a report call ("report.<name>(... \"...\" ...)", prefix in any case), rewrites
// it in place into "\"QC_REPORT: " followed by everything after its first double quote, and
// returns text; the result is up to 4 characters longer than the input, and the caller's buffer
// must have that room. Otherwise (and for a text over 65,535 characters) returns kEmptyText
// with the buffer untouched.
const char* RewriteReportCall(char* text);

// Writes the attachment text of the server with this GoID into its ResultText (under
// StateLock) and returns it; kEmptyText for an unknown GoID.
const char* DescribeAttachment(std::uint32_t goid);

// The spawn-confirm flag of the server with this GoID; false for an unknown GoID.
bool SpawnConfirmFlag(std::uint32_t goid);

}  // namespace qc
