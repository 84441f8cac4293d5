// The consoles' listing and the lookup of one object's port, with the last listing of each
// host and BasePort kept in memory for as long as the program runs.
#include "web/lookup.h"

#include <map>
#include <mutex>
#include <utility>

namespace qc::web {
namespace {

using attach::OpenResult;
using attach::SpawnRow;

std::mutex listingsLock;
std::map<std::pair<std::string, int>, std::vector<SpawnRow>>& Listings() {
  static std::map<std::pair<std::string, int>, std::vector<SpawnRow>> listings;
  return listings;
}

std::vector<SpawnRow> Remembered(const std::string& host, int basePort) {
  std::lock_guard<std::mutex> hold(listingsLock);
  const auto found = Listings().find({host, basePort});
  return found == Listings().end() ? std::vector<SpawnRow>{} : found->second;
}

// "[spawns]" of the console on port: kOpen with rows, or why not.
OpenResult ListingOf(const std::string& host, std::uint16_t port,
                     attach::PasswordSource& password, std::vector<SpawnRow>& rows) {
  attach::ConsoleLink link;
  attach::Attached attached;
  if (!link.Open(host, port)) return OpenResult::kUnreachable;
  const OpenResult result = attach::Greet(link, password, attached);
  if (result == OpenResult::kOpen) {
    rows = attached.rows;
    (void)attach::LeaveConsole(link, attach::kReplyMillis, nullptr);
  }
  return result;
}

}  // namespace

void RememberListing(const std::string& host, int basePort, const std::vector<SpawnRow>& rows) {
  std::lock_guard<std::mutex> hold(listingsLock);
  Listings()[{host, basePort}] = rows;
}

void ForgetListing(const std::string& host, int basePort) {
  std::lock_guard<std::mutex> hold(listingsLock);
  Listings().erase({host, basePort});
}

OpenResult ListConsoles(const std::string& host, int basePort, attach::PasswordSource& password,
                        std::vector<SpawnRow>& rows) {
  rows.clear();
  const std::vector<SpawnRow> remembered = Remembered(host, basePort);
  if (!remembered.empty()) {
    const OpenResult result = ListingOf(host, remembered.front().port, password, rows);
    if (result == OpenResult::kPasswordRefused || result == OpenResult::kNoPassword) {
      return result;
    }
    if (result == OpenResult::kOpen) {
      RememberListing(host, basePort, rows);
      return result;
    }
  }
  attach::ConsoleLink link;
  attach::Attached attached;
  const OpenResult result = attach::OpenAnyConsole(host, basePort, password, link, attached);
  if (result != OpenResult::kOpen) {
    ForgetListing(host, basePort);
    return result;
  }
  rows = attached.rows;
  (void)attach::LeaveConsole(link, attach::kReplyMillis, nullptr);
  RememberListing(host, basePort, rows);
  return result;
}

OpenResult FindConsolePort(const std::string& host, int basePort, const std::string& object,
                           attach::PasswordSource& password, std::uint16_t& port) {
  std::vector<SpawnRow> matches = attach::MatchObject(Remembered(host, basePort), object);
  if (matches.size() != 1) {
    std::vector<SpawnRow> rows;
    const OpenResult result = ListConsoles(host, basePort, password, rows);
    if (result != OpenResult::kOpen) return result;
    matches = attach::MatchObject(rows, object);
    if (matches.empty()) return OpenResult::kNotFound;
    if (matches.size() > 1) return OpenResult::kAmbiguous;
  }
  port = matches.front().port;
  return OpenResult::kOpen;
}

}  // namespace qc::web
