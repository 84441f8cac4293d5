// The page's lookups, through the client core's quiet finder.
#include "web/lookup.h"

#include <mutex>

#include "client/core/platform.h"

namespace qc::web {
namespace {

// One lookup at a time in the whole program. A lookup that finds the game changed (restarted,
// its consoles on other ports) remembers the new listing before the next one starts, which
// then goes straight to its object's console: the panes attaching again after a restart do not
// call on each other's consoles, where every developer would see their connects, disconnects
// and the game's greetings.
std::mutex lookupLock;

}  // namespace

using attach::OpenResult;

attach::LookupSettings LookupFor(const std::string& host, int basePort) {
  attach::LookupSettings settings;
  settings.host = host;
  settings.basePort = basePort;
  settings.stateFolder = attach::UserStateFolder();
  return settings;
}

OpenResult ListConsoles(const std::string& host, int basePort, attach::PasswordSource& password,
                        std::vector<attach::SpawnRow>& rows) {
  rows.clear();
  std::lock_guard<std::mutex> hold(lookupLock);
  attach::ConsoleFinder finder(LookupFor(host, basePort), password);
  attach::ConsoleLink link;
  attach::Attached attached;
  const OpenResult result =
      finder.List([](const attach::SpawnRow&) { return true; }, link, attached);
  if (result != OpenResult::kOpen) return result;
  rows = attached.rows;
  (void)attach::LeaveConsole(link, attach::kDefaultReplyMillis, nullptr);
  return result;
}

OpenResult OpenConsole(const std::string& host, int basePort, const std::string& object,
                       attach::PasswordSource& password, attach::ConsoleLink& link,
                       attach::Attached& attached, std::vector<attach::SpawnRow>& rows) {
  std::lock_guard<std::mutex> hold(lookupLock);
  attach::ConsoleFinder finder(LookupFor(host, basePort), password);
  const OpenResult result = finder.Attach(object, link, attached);
  if (result != OpenResult::kOpen) {
    link.Close();
    return result;
  }
  rows = attached.rows.empty() ? finder.Remembered() : attached.rows;
  if (!attached.ownKnown) {  // a console no listing names yet: shown by its port
    attached.own = attach::SpawnRow{};
    attached.own.port = link.Port();
    attached.own.templateName = object;
  }
  return result;
}

}  // namespace qc::web
