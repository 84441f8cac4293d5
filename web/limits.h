// What quillaret-web may hold and how long it waits, in one place: each limit with its reason.
// The server (server.cpp) and the panes (pane.cpp) use these by name only.
#pragma once

#include <cstddef>

namespace qc::web {

// Connections. One that has not yet sent a complete request carrying the token costs a
// descriptor and shows nothing of who it is: at most this many are held at once, and the
// oldest of them is let go when another arrives, so idle connections never run the program
// out of descriptors while the page (whose requests come at once) still gets in.
constexpr int kMaxWaitingConnections = 64;
// A connection has this long for each complete request before it is closed, which bounds how
// long an idle one holds its place.
constexpr int kRequestSeconds = 10;
// A page's connection, once it has shown the token, may stay open between its requests this
// long (the browser keeps it for the next load).
constexpr int kIdleSeconds = 60;

// Panes. Each open pane is a thread and a connection to a console: at most this many at once,
// for every page together; one more is refused with a message on the page. Each page also
// keeps a list of the consoles on a thread of its own: at most this many lists at once.
constexpr int kMaxPanes = 64;
constexpr int kMaxListers = 16;

// Message sizes. A request's header and body; a message from the page (a pasted text is one
// message); the unsent messages to one page past which its pane stops reading its console, so
// the console's own back pressure holds the rest.
constexpr std::size_t kRequestBytes = 16 * 1024;
constexpr std::size_t kPageMessageBytes = 1024 * 1024;
constexpr std::size_t kCongestedBytes = 4 * 1024 * 1024;
// How much a pane takes from its console in one turn, and about how many lines go to the page
// in one message.
constexpr std::size_t kReceiveChunkBytes = 16 * 1024;
constexpr std::size_t kChunksPerTurn = 64;
constexpr std::size_t kLinesPerMessage = 512;
// Lines sent whose echoes are awaited, at most (older ones are forgotten).
constexpr std::size_t kAwaitedEchoes = 256;
// Candidates a completion sends the page, at most (the page shows them as one note).
constexpr std::size_t kCompletionCandidates = 200;

// When accepting fails (out of descriptors, say), it is tried again this much later rather than
// at once, for ever.
constexpr int kAcceptPauseMillis = 100;

// Time-outs. How long a pane waits for its console's lines before it looks at what the page
// sent; how often a pane waiting for a password looks whether another pane's console took one;
// how long a pane that left with [quit] sleeps between looks at whether it is closed; and how
// long the panes have to leave their consoles when the program stops.
constexpr int kPollMillis = 20;
constexpr int kPasswordLookMillis = 100;
constexpr int kLeftPauseMillis = 1000;
constexpr int kStopMillis = 7000;

}  // namespace qc::web
