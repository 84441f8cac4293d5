// Finding the consoles of the game: the listing of every console, and the port of one object's
// console, asked as quietly as the client core allows (the last listing of each host and
// BasePort is remembered, and its consoles are asked first).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/console_link.h"

namespace qc::web {

// The port of object's console (its template name or its GoID, as printed or unsigned) on host,
// the consoles counting from basePort. kOpen with port set; otherwise kNotFound, kAmbiguous,
// kUnreachable, kPasswordRefused, kNoPassword or kBroken, as attaching would say.
// The remembered listing answers without a connection when it names the object once; the
// caller confirms the port by the console's own row when it attaches, and calls
// ForgetListing when that row is another object's.
attach::OpenResult FindConsolePort(const std::string& host, int basePort,
                                   const std::string& object, attach::PasswordSource& password,
                                   std::uint16_t& port);

// Every console of host from "[spawns]": asked of the first remembered console, else of the
// first console that answers from basePort on. The listing is remembered.
attach::OpenResult ListConsoles(const std::string& host, int basePort,
                                attach::PasswordSource& password,
                                std::vector<attach::SpawnRow>& rows);

// What an attach learnt: the listing its console sent, remembered for later lookups.
void RememberListing(const std::string& host, int basePort,
                     const std::vector<attach::SpawnRow>& rows);
// The remembered listing proved wrong (the game restarted with other consoles).
void ForgetListing(const std::string& host, int basePort);

}  // namespace qc::web
