// Script values and their literal form.
#include "demo/value.h"

#include <cstdio>
#include <utility>

namespace qc::demo {
namespace {

std::string FormatNumber(double n) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", n);
  return buffer;
}

std::string QuoteText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        // 0xFF is no UTF-8 byte, and a telnet client takes it as the start of a command.
        if (byte < 0x20 || byte == 0x7f || byte == 0xff) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\x%02x", byte);
          out += escape;
        } else {
          out += c;
        }
      }
    }
  }
  return out + "\"";
}

}  // namespace

// The fields in order: kind, number, text, flag, goid.
Value Value::Number(double n) { return {Kind::kNumber, n, {}, false, 0}; }
Value Value::Text(std::string t) { return {Kind::kText, 0, std::move(t), false, 0}; }
Value Value::Bool(bool b) { return {Kind::kBool, 0, {}, b, 0}; }
Value Value::Object(std::uint32_t id) { return {Kind::kObject, 0, {}, false, id}; }

bool operator==(const Value& a, const Value& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Value::Kind::kNumber:
      return a.number == b.number;
    case Value::Kind::kText:
      return a.text == b.text;
    case Value::Kind::kBool:
      return a.flag == b.flag;
    case Value::Kind::kObject:
      return a.goid == b.goid;
  }
  return false;
}

std::string FormatGoid(std::uint32_t goid) {
  return std::to_string(static_cast<std::int32_t>(goid));
}

std::string FormatValue(const Value& value) {
  switch (value.kind) {
    case Value::Kind::kNumber:
      return FormatNumber(value.number);
    case Value::Kind::kText:
      return QuoteText(value.text);
    case Value::Kind::kBool:
      return value.flag ? "true" : "false";
    case Value::Kind::kObject:
      return "MakeGoid(" + FormatGoid(value.goid) + ")";
  }
  return "";
}

}  // namespace qc::demo
