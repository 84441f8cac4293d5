// The demo script's values: what a literal, a call or a game object's property holds, and its
// literal form. Shared by the parser, the evaluator and the world.
#pragma once

#include <cstdint>
#include <string>

namespace qc::demo {

// A script value: a number, a text, a truth value, or a reference to a game object.
struct Value {
  enum class Kind { kNumber, kText, kBool, kObject };
  Kind kind = Kind::kNumber;
  double number = 0;
  std::string text;
  bool flag = false;
  std::uint32_t goid = 0;

  static Value Number(double n);
  static Value Text(std::string t);
  static Value Bool(bool b);
  static Value Object(std::uint32_t id);
};

bool operator==(const Value& a, const Value& b);

// The value as a script literal: 12, 1.5, "Grub", true, MakeGoid(42). Texts are quoted with
// \" \\ \r \n \t and \xHH escapes, so the result never holds a control character, a line end or
// the byte 0xFF; other bytes (UTF-8 text) stay as they are.
std::string FormatValue(const Value& value);

// A GoID as the console library prints it: a signed decimal ("MakeGoid(-1)" for 4294967295).
std::string FormatGoid(std::uint32_t goid);

}  // namespace qc::demo
