// The demo host's in-memory game world: the objects it spawned consoles for, each with a few
// named properties that developers read and change from the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "demo/value.h"

namespace qc::demo {

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
