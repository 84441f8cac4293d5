// The demo host's in-memory game world: the objects it spawned consoles for, each with a few
// named properties that developers read and change from the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

struct GameObject {
  std::uint32_t goid = 0;
  std::string templateName;
  std::map<std::string, Value> properties;  // sorted by key, so listings are stable
};

class World {
 public:
  // Limits that keep every answer of the evaluator to a reasonable number of short lines.
  static constexpr std::size_t kMaxProperties = 64;
  static constexpr std::size_t kMaxKeyChars = 64;
  static constexpr std::size_t kMaxTextChars = 1024;

  // Adds an object with the starting properties of its template (a goblin has health, a chest
  // has gold, ...; an unknown template starts with none). False when the GoID is taken.
  bool AddObject(std::uint32_t goid, const std::string& templateName);

  // The object with this GoID, or nullptr.
  GameObject* FindObject(std::uint32_t goid);
  const GameObject* FindObject(std::uint32_t goid) const;

  // Every object, in the order they were added.
  const std::vector<GameObject>& Objects() const { return objects_; }

 private:
  std::vector<GameObject> objects_;
};

}  // namespace qc::demo
