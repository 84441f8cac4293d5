// Finding the consoles of the game as quillaret-attach does: the listing of every console and
// one object's console, asked quietly through the client core's ConsoleFinder (the last
// listing of each host and BasePort is remembered in the user's state folder, which the two
// programs share; an object is confirmed on its remembered port by the console's connected
// notice, and "[spawns]" asked only when that fails).
#pragma once

#include <string>
#include <vector>

#include "client/core/console_link.h"
#include "client/core/lookup.h"

namespace qc::web {

// The finder's settings for host and basePort, with the client's time limits.
attach::LookupSettings LookupFor(const std::string& host, int basePort);

// Every console of host from "[spawns]", remembered consoles asked first. The connection is
// left with "[quit]".
attach::OpenResult ListConsoles(const std::string& host, int basePort,
                                attach::PasswordSource& password,
                                std::vector<attach::SpawnRow>& rows);

// Attaches link to object's console (its template name or its GoID). kOpen with attached.own
// its row and rows the listing the page shows (the remembered one when no "[spawns]" was
// asked); otherwise kNotFound, kAmbiguous, kUnreachable, kPasswordRefused, kNoPassword or
// kBroken, as attaching would say, with link closed.
attach::OpenResult OpenConsole(const std::string& host, int basePort, const std::string& object,
                               attach::PasswordSource& password, attach::ConsoleLink& link,
                               attach::Attached& attached, std::vector<attach::SpawnRow>& rows);

}  // namespace qc::web
