// The page's messages, read and built with Boost.JSON.
#include "web/messages.h"

#include <cstdint>
#include <limits>

#include "web/limits.h"

namespace qc::web {
namespace {

namespace json = boost::json;

// Whether text reaches the page as it is: valid UTF-8 without a control byte other than tab.
bool ShownUnchanged(std::string_view text) { return attach::EscapeControlBytes(text) == text; }

const json::string* TextField(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value != nullptr ? value->if_string() : nullptr;
}

struct KindName {
  std::string_view name;
  PageRequest::Kind kind;
  bool takesText;
};

constexpr KindName kKinds[] = {
    {"list", PageRequest::Kind::kList, false},
    {"open", PageRequest::Kind::kOpen, false},
    {"line", PageRequest::Kind::kLine, true},
    {"password", PageRequest::Kind::kPassword, true},
    {"refresh", PageRequest::Kind::kRefresh, false},
    {"quit", PageRequest::Kind::kQuit, false},
    {"history", PageRequest::Kind::kHistory, false},
    {"complete", PageRequest::Kind::kComplete, true},
};

}  // namespace

bool ReadPageRequest(std::string_view message, PageRequest& request, std::string& error) {
  json::error_code code;
  const json::value value = json::parse(message, code);
  if (code) {
    error = "not JSON (" + code.message() + ")";
    return false;
  }
  const json::object* object = value.if_object();
  const json::string* kind = object != nullptr ? TextField(*object, "t") : nullptr;
  if (kind == nullptr) {
    error = "not an object with its kind in \"t\"";
    return false;
  }
  request = PageRequest{};
  const KindName* found = nullptr;
  for (const KindName& entry : kKinds) {
    if (entry.name == std::string_view(*kind)) found = &entry;
  }
  if (found == nullptr) {
    error = "unknown kind \"" + attach::EscapeControlBytes(std::string_view(*kind)) + "\"";
    return false;
  }
  request.kind = found->kind;
  if (found->takesText) {
    const json::string* text = TextField(*object, "text");
    if (text == nullptr) {
      error = "\"" + std::string(found->name) + "\" needs a text in \"text\"";
      return false;
    }
    request.text.assign(text->data(), text->size());
  }
  if (request.kind == PageRequest::Kind::kOpen) {
    const json::value* goid = object->if_contains("goid");
    const json::string* name = TextField(*object, "object");
    // A GoID as the console prints it (signed) or as the game gives it (unsigned).
    if (goid != nullptr && goid->is_int64() &&
        goid->as_int64() >= std::numeric_limits<std::int32_t>::min() &&
        goid->as_int64() <= std::numeric_limits<std::uint32_t>::max()) {
      request.text = std::to_string(goid->as_int64());
    } else if (goid == nullptr && name != nullptr && !name->empty()) {
      request.text.assign(name->data(), name->size());
    } else {
      error = "\"open\" needs a GoID in \"goid\" or a name in \"object\"";
      return false;
    }
  }
  return true;
}

std::string Serialize(const json::object& message) { return json::serialize(message); }

json::object RowObject(const attach::SpawnRow& row) {
  const std::string shown = attach::EscapeControlBytes(row.templateName);
  return {{"port", row.port},
          {"goid", row.printedGoid},
          {"name", shown},
          {"exact", shown == row.templateName}};
}

json::array RowsArray(const std::vector<attach::SpawnRow>& rows) {
  json::array array;
  for (const attach::SpawnRow& row : rows) array.push_back(RowObject(row));
  return array;
}

std::string ErrorMessage(std::string_view text) {
  return Serialize({{"t", "error"}, {"text", text}});
}

std::string NoteMessage(std::string_view text) {
  return Serialize({{"t", "note"}, {"text", text}});
}

std::string HistoryMessage(const std::vector<std::string>& lines) {
  json::array shown;
  for (const std::string& line : lines) {
    if (ShownUnchanged(line)) shown.push_back(json::string(line));
  }
  return Serialize({{"t", "history"}, {"lines", std::move(shown)}});
}

std::string CompletionMessage(std::string_view stem, const std::vector<std::string>& words) {
  json::array shown;
  for (const std::string& word : words) {
    if (shown.size() < kCompletionCandidates && ShownUnchanged(word)) {
      shown.push_back(json::string(word));
    }
  }
  return Serialize({{"t", "completion"}, {"stem", stem}, {"candidates", std::move(shown)}});
}

}  // namespace qc::web
