// The page's messages into quillaret-web (ReadPageRequest), as arbitrary bytes and as JSON
// objects with arbitrary kinds, fields and values, against the message rules written plainly
// here; and what quillaret-web sends the page (errors, notes, rows, history, completions),
// which must read back as the JSON it meant and be valid UTF-8 (a WebSocket text frame that is
// not is the end of the connection).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "fuzz_support.h"
#include "text_model.h"
#include "web/limits.h"
#include "web/messages.h"

namespace {

namespace json = boost::json;
using qc::fuzz::ModelEscape;
using qc::fuzz::ValidUtf8;
using qc::web::PageRequest;

// A JSON string for bytes, written by hand: quotes, backslashes and control bytes escaped,
// everything else as it is (so bytes that are not UTF-8 stay so).
std::string Quoted(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One field's value: absent, a string, a number of some kind, or another type.
struct Field {
  enum Type { kAbsent, kString, kInteger, kLarge, kFraction, kOther } type = kAbsent;
  std::string text;      // kString
  long long number = 0;  // kInteger
};

Field ReadField(qc::fuzz::Input& in) {
  Field field;
  const std::uint8_t how = in.Byte();
  switch (how % 6) {
    case 0:
      break;
    case 1:
      field.type = Field::kString;
      field.text = in.Bytes(in.Byte() % 24);
      break;
    case 2: {
      field.type = Field::kInteger;
      // Near the edges of a GoID's range, or any 32-bit value, signed or not.
      static const long long kEdges[] = {-2147483649LL, -2147483648LL, -1,          0,
                                         2147483647LL,  4294967295LL,  4294967296LL};
      field.number = (how & 0x40) ? kEdges[in.Byte() % 7]
                                  : static_cast<long long>(static_cast<std::int32_t>(in.Uint32()));
      break;
    }
    case 3:
      field.type = Field::kLarge;
      break;  // past int64: Boost.JSON reads it as uint64
    case 4:
      field.type = Field::kFraction;
      break;  // 7.5
    default:
      field.type = Field::kOther;
      break;  // true, null, [], {}
  }
  return field;
}

std::string FieldJson(const Field& field, std::uint8_t variant) {
  switch (field.type) {
    case Field::kString:
      return Quoted(field.text);
    case Field::kInteger:
      return std::to_string(field.number);
    case Field::kLarge:
      return "18446744073709551615";
    case Field::kFraction:
      return "7.5";
    default: {
      static const char* const kOthers[] = {"true", "null", "[]", "{\"a\":1}"};
      return kOthers[variant % 4];
    }
  }
}

// The request the rules make of an object with these fields, or false when they refuse it.
bool Model(const std::string& kind, const Field& text, const Field& goid, const Field& object,
           PageRequest& request) {
  static const struct {
    const char* name;
    PageRequest::Kind kind;
    bool takesText;
  } kKinds[] = {{"list", PageRequest::Kind::kList, false},
                {"open", PageRequest::Kind::kOpen, false},
                {"line", PageRequest::Kind::kLine, true},
                {"password", PageRequest::Kind::kPassword, true},
                {"refresh", PageRequest::Kind::kRefresh, false},
                {"quit", PageRequest::Kind::kQuit, false},
                {"history", PageRequest::Kind::kHistory, false},
                {"complete", PageRequest::Kind::kComplete, true}};
  for (const auto& entry : kKinds) {
    if (kind != entry.name) continue;
    request = PageRequest{};
    request.kind = entry.kind;
    if (entry.takesText) {
      if (text.type != Field::kString) return false;
      request.text = text.text;
    }
    if (entry.kind == PageRequest::Kind::kOpen) {
      if (goid.type == Field::kInteger && goid.number >= -2147483648LL &&
          goid.number <= 4294967295LL) {
        request.text = std::to_string(goid.number);
      } else if (goid.type == Field::kAbsent && object.type == Field::kString &&
                 !object.text.empty()) {
        request.text = object.text;
      } else {
        return false;
      }
    }
    return true;
  }
  return false;
}

bool IsText(const json::value& value, std::string_view text) {
  return value.is_string() && std::string_view(value.as_string()) == text;
}

// A message for the page: valid UTF-8, a JSON object of kind t.
json::object Sent(const std::string& message, std::string_view t) {
  QC_FUZZ_CHECK(ValidUtf8(message));
  json::error_code code;
  json::value value = json::parse(message, code);
  QC_FUZZ_CHECK(!code && value.is_object());
  QC_FUZZ_CHECK(IsText(value.as_object().at("t"), t));
  return value.as_object();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qc::fuzz::Input in(data, size);
  const std::uint8_t mode = in.Byte();
  PageRequest request;
  std::string error;
  if (mode % 4 == 0) {
    // Any bytes: read or refused with a reason, which goes back to the page as UTF-8.
    const std::string message = in.Rest();
    if (!qc::web::ReadPageRequest(message, request, error)) {
      QC_FUZZ_CHECK(!error.empty());
      const json::object sent = Sent(qc::web::ErrorMessage(error), "error");
      QC_FUZZ_CHECK(IsText(sent.at("text"), error));
    }
    return 0;
  }
  if (mode % 4 == 1) {
    // An object of any kind with any fields, in any order, among others.
    static const char* const kNames[] = {"list", "open",    "line",     "password", "refresh",
                                         "quit", "history", "complete", "Line",     "open "};
    const std::uint8_t which = in.Byte();
    const std::string kind = which < 200 ? kNames[which % 10] : in.Bytes(in.Byte() % 12);
    const Field text = ReadField(in);
    const Field goid = ReadField(in);
    const Field object = ReadField(in);
    const std::uint8_t variant = in.Byte();
    std::vector<std::string> members = {"\"t\":" + Quoted(kind)};
    if (text.type != Field::kAbsent) members.push_back("\"text\":" + FieldJson(text, variant));
    if (goid.type != Field::kAbsent) members.push_back("\"goid\":" + FieldJson(goid, variant));
    if (object.type != Field::kAbsent) {
      members.push_back("\"object\":" + FieldJson(object, variant));
    }
    if (variant & 0x10) members.push_back("\"extra\":[1,\"x\"]");
    for (std::size_t i = members.size(); i > 1; --i) {  // an order of the members
      std::swap(members[i - 1], members[(variant >> 5) % i]);
    }
    std::string message = "{";
    for (std::size_t i = 0; i < members.size(); ++i) message += (i ? "," : "") + members[i];
    message += "}";

    // Strings that are not UTF-8 make the message unreadable as JSON.
    const bool readable = ValidUtf8(kind) &&
                          (text.type != Field::kString || ValidUtf8(text.text)) &&
                          (goid.type != Field::kString || ValidUtf8(goid.text)) &&
                          (object.type != Field::kString || ValidUtf8(object.text));
    PageRequest expected;
    const bool accepted = readable && Model(kind, text, goid, object, expected);
    const bool read = qc::web::ReadPageRequest(message, request, error);
    if (read != accepted) {
      std::fprintf(stderr, "message %s: read %d, expected %d (%s)\n", message.c_str(), read,
                   accepted, error.c_str());
    }
    QC_FUZZ_CHECK(read == accepted);
    if (read) {
      QC_FUZZ_CHECK(request.kind == expected.kind);
      QC_FUZZ_CHECK(request.text == expected.text);
    } else {
      QC_FUZZ_CHECK(!error.empty());
      Sent(qc::web::ErrorMessage("quillaret-web could not read a message of the page: " + error),
           "error");
    }
    return 0;
  }

  // What goes to the page: texts escaped before (notes, rows' names), history lines and
  // completions left out unless shown as they are.
  std::vector<std::string> texts;
  while (!in.Empty() && texts.size() < 64) texts.push_back(in.Bytes(in.Byte() % 32));
  for (const std::string& text : texts) {
    const std::string shown = ModelEscape(text);
    QC_FUZZ_CHECK(IsText(Sent(qc::web::NoteMessage(shown), "note").at("text"), shown));
    qc::attach::SpawnRow row;
    row.port = static_cast<std::uint16_t>(text.size() * 977);
    row.printedGoid = -static_cast<int>(text.size());
    row.templateName = text;
    const json::object object = qc::web::RowObject(row);
    QC_FUZZ_CHECK(IsText(object.at("name"), shown));
    QC_FUZZ_CHECK(object.at("exact") == json::value(shown == text));
    QC_FUZZ_CHECK(object.at("port") == json::value(row.port) &&
                  object.at("goid") == json::value(row.printedGoid));
    QC_FUZZ_CHECK(
        Sent(qc::web::Serialize({{"t", "rows"}, {"rows", qc::web::RowsArray({row})}}), "rows")
            .at("rows")
            .as_array()
            .size() == 1);
  }
  json::array history;
  for (const std::string& text : texts) {
    if (ModelEscape(text) == text) history.push_back(json::string(text));
  }
  QC_FUZZ_CHECK(Sent(qc::web::HistoryMessage(texts), "history").at("lines") ==
                json::value(history));
  json::array candidates;
  for (const std::string& text : texts) {
    if (ModelEscape(text) == text && candidates.size() < qc::web::kCompletionCandidates) {
      candidates.push_back(json::string(text));
    }
  }
  const json::object completion =
      Sent(qc::web::CompletionMessage(mode & 0x80 ? "Ge" : "", texts), "completion");
  QC_FUZZ_CHECK(completion.at("candidates") == json::value(candidates));
  return 0;
}
