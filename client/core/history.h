// The history of typed lines, kept per template name in the user's state folder and shared by
// every front end (quillaret-attach on each platform, quillaret-web's panes): one line per
// entry, appended as each line is typed and read again at start, so two sessions on one
// template, in one program or both, keep their lines. Nothing here needs a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/core/protocol.h"

namespace qc::attach {

// key as one file name: bytes other than letters, digits, '-', '_' and a '.' that does not
// begin the name are written as %XX.
std::string FileNameFor(const std::string& key);

// The history file of the consoles of one template name (or whatever names the console when
// its template name is unknown): STATE/quillaret/history/KEY; "" when there is no state
// folder. Bytes that could trouble a file name are written as %XX.
std::string HistoryPath(const std::string& stateFolder, const std::string& key);

// The key of the history of one attached console: its template name (known from its row),
// else ":PORT".
std::string HistoryKeyOf(const SpawnRow& own, bool ownKnown, std::uint16_t port);

// The last kHistoryLines lines of the file, oldest first; none when it cannot be read. A file
// grown past twice that is rewritten with those lines alone.
std::vector<std::string> ReadHistory(const std::string& path);

// Appends whole lines (each with its line end) to a file of lines with a single write. A last
// line that a failed write left without its line end is ended in the same write, so that it
// never runs into the first line appended. False when it could not be written.
bool AppendLines(const std::string& path, const std::string& lines);

// Appends one line with a single write, creating the folders on the way. Empty lines and
// lines with a line end in them are not kept. False when it could not be written.
bool AppendHistory(const std::string& path, const std::string& line);

// A line typed in a front end that holds the history as lines (oldest first, as ReadHistory
// gives them): kept, in lines (at most kHistoryLines) and appended to path, unless it is empty,
// holds a line end or is the same as the newest. True when it was kept.
bool KeepTypedLine(std::vector<std::string>& lines, const std::string& path,
                   const std::string& line);

}  // namespace qc::attach
