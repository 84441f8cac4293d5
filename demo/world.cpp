// The demo world's objects and their starting properties.
#include "demo/world.h"

#include <utility>

namespace qc::demo {
namespace {

struct StartingProperty {
  const char* templateName;
  const char* key;
  Value value;
};

// What a freshly spawned object of a known template holds.
std::vector<StartingProperty> StartingProperties() {
  return {
      {"goblin", "health", Value::Number(30)},   {"goblin", "strength", Value::Number(4)},
      {"goblin", "mood", Value::Text("grumpy")}, {"chest", "gold", Value::Number(120)},
      {"chest", "locked", Value::Bool(true)},    {"lantern", "lit", Value::Bool(false)},
      {"lantern", "oil", Value::Number(75)},
  };
}

}  // namespace

bool World::AddObject(std::uint32_t goid, const std::string& templateName) {
  if (FindObject(goid) != nullptr) return false;
  GameObject object;
  object.goid = goid;
  object.templateName = templateName;
  for (const StartingProperty& p : StartingProperties()) {
    if (templateName == p.templateName) object.properties[p.key] = p.value;
  }
  objects_.push_back(std::move(object));
  return true;
}

GameObject* World::FindObject(std::uint32_t goid) {
  for (GameObject& object : objects_) {
    if (object.goid == goid) return &object;
  }
  return nullptr;
}

const GameObject* World::FindObject(std::uint32_t goid) const {
  for (const GameObject& object : objects_) {
    if (object.goid == goid) return &object;
  }
  return nullptr;
}

}  // namespace qc::demo
