// The messages between quillaret-web and the page, each a JSON object with its kind in "t",
// built and read with Boost.JSON. Every text sent is valid UTF-8: what comes from the game is
// escaped before it gets here (EscapeControlBytes), and history lines that are not UTF-8 are
// left out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "client/core/protocol.h"

namespace qc::web {

// What the page asks, one message of its socket:
//   {"t":"list"}                       this socket is the page's list of consoles
//   {"t":"open","goid":G}              this socket is the pane of the object with GoID G
//   {"t":"open","object":"NAME"}       ... of the object named so (a template name or a GoID)
//   {"t":"line","text":"..."}          a line (or a pasted text) to send
//   {"t":"password","text":"..."}      the password asked for
//   {"t":"refresh"}                    the list asked again
//   {"t":"quit"}                       leave the console with [quit]
//   {"t":"history"}                    the pane's history, oldest first
//   {"t":"complete","text":"..."}      completions of the text before the cursor
struct PageRequest {
  enum class Kind { kList, kOpen, kLine, kPassword, kRefresh, kQuit, kHistory, kComplete };
  Kind kind = Kind::kList;
  std::string text;  // kLine, kPassword, kComplete; kOpen: the object (a GoID's digits too)
};

// Reads one message from the page. False with error saying what is wrong (it goes back to the
// page; nothing is closed for it).
bool ReadPageRequest(std::string_view message, PageRequest& request, std::string& error);

// The message as sent: its text.
std::string Serialize(const boost::json::object& message);

// One "[spawns]" row for the page: {"port":P,"goid":G,"name":"...","exact":true}; the name
// escaped, exact when that left it unchanged (the page opens the others by GoID).
boost::json::object RowObject(const attach::SpawnRow& row);
boost::json::array RowsArray(const std::vector<attach::SpawnRow>& rows);

// {"t":"error","text":TEXT}: a message the page sent could not be read.
std::string ErrorMessage(std::string_view text);
// {"t":"note","text":TEXT}: a note for the pane, shown among its lines.
std::string NoteMessage(std::string_view text);
// {"t":"history","lines":[...]}: the lines that are valid UTF-8 and hold no control byte,
// oldest first.
std::string HistoryMessage(const std::vector<std::string>& lines);
// {"t":"completion","stem":STEM,"candidates":[...]}: the words that may replace STEM, the end
// of the text the page sent.
std::string CompletionMessage(std::string_view stem, const std::vector<std::string>& words);

}  // namespace qc::web
