// The calls the demo script knows, and running parsed statements against the world.
#include "demo/evaluator.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

#include "demo/script_parser.h"

namespace qc::demo {
namespace {

// One call being run: its evaluated arguments in, its result out.
struct Call {
  explicit Call(World& w) : world(w) {}

  World& world;
  GameObject* object = nullptr;  // a method's object
  std::string key;               // a method's property name, when its first parameter is kKey
  std::vector<Value> args;
  Value value;
  std::vector<std::string> lines;  // what the developers see of a statement; else its value
  std::string error;
};

using Handler = bool (*)(Call& call);

// A call the script knows. Its parameters, as Help() and the arity errors show them, also give
// the number of arguments it takes.
struct CallInfo {
  const char* name;
  const char* params[2];
  const char* summary;
  Handler run;
};

// The parameter of a method that names one of the object's properties, checked before it runs.
constexpr const char* kKey = "\"key\"";

std::size_t Arity(const CallInfo& info) {
  std::size_t n = 0;
  while (n < std::size(info.params) && info.params[n] != nullptr) ++n;
  return n;
}

std::string Usage(const CallInfo& info) {
  std::string usage = std::string(info.name) + "(";
  for (std::size_t i = 0; i < Arity(info); ++i)
    usage += (i > 0 ? ", " : "") + std::string(info.params[i]);
  return usage + ")";
}

std::string NameObject(const GameObject& object) {
  return FormatValue(Value::Object(object.goid)) + " (" + object.templateName + ")";
}

// ---------------------------------------------------------------------------------------------
// The functions. Each handler is named after the call it runs.

bool MakeGoid(Call& c) {
  const Value& arg = c.args[0];
  if (arg.kind != Value::Kind::kNumber || std::floor(arg.number) != arg.number ||
      arg.number < -2147483648.0 || arg.number > 4294967295.0) {
    c.error = "MakeGoid() wants a whole number (a GoID), not " + FormatValue(arg);
    return false;
  }
  // GoIDs are printed as signed decimals, so MakeGoid(-1) names GoID 4294967295.
  const auto goid = static_cast<std::uint32_t>(static_cast<std::int64_t>(arg.number));
  if (c.world.FindObject(goid) == nullptr) {
    c.error = "no game object has GoID " + FormatGoid(goid) + "; List() shows them";
    return false;
  }
  c.value = Value::Object(goid);
  return true;
}

bool List(Call& c) {
  c.lines.push_back(std::to_string(c.world.Objects().size()) + " game objects:");
  for (const GameObject& object : c.world.Objects()) {
    c.lines.push_back("  " + NameObject(object) + ", " + std::to_string(object.properties.size()) +
                      " properties");
  }
  c.value = Value::Number(static_cast<double>(c.world.Objects().size()));
  return true;
}

bool Help(Call& c);  // lists the tables below

// ---------------------------------------------------------------------------------------------
// The methods of a game object. Each runs with its object and checked property name.

// The property named by the key; nullptr with an error when the object has none.
Value* FindProperty(Call& c) {
  const auto found = c.object->properties.find(c.key);
  if (found != c.object->properties.end()) return &found->second;
  c.error =
      NameObject(*c.object) + " has no property " + QuoteForError(c.key) + "; Keys() lists them";
  return nullptr;
}

// Gives the key the value next, within the world's limits.
bool Store(Call& c, const Value& next) {
  if (next.kind == Value::Kind::kText && next.text.size() > World::kMaxTextChars) {
    c.error = "a text value holds at most " + std::to_string(World::kMaxTextChars) +
              " characters, not " + std::to_string(next.text.size());
    return false;
  }
  auto& properties = c.object->properties;
  const auto found = properties.find(c.key);
  if (found == properties.end() && properties.size() >= World::kMaxProperties) {
    c.error = NameObject(*c.object) + " already has " + std::to_string(World::kMaxProperties) +
              " properties; Remove() one first";
    return false;
  }
  c.lines.push_back(
      c.key + " = " + FormatValue(next) +
      (found != properties.end() ? " (was " + FormatValue(found->second) + ")" : " (new)"));
  properties[c.key] = next;
  c.value = next;
  return true;
}

bool Describe(Call& c) {
  c.lines.push_back(NameObject(*c.object) + ", " + std::to_string(c.object->properties.size()) +
                    " properties");
  for (const auto& [name, v] : c.object->properties)
    c.lines.push_back("  " + name + " = " + FormatValue(v));
  c.value = Value::Text(c.lines.front());
  return true;
}

bool Get(Call& c) {
  const Value* property = FindProperty(c);
  if (property == nullptr) return false;
  c.value = *property;
  c.lines.push_back(c.key + " = " + FormatValue(c.value));
  return true;
}

bool Set(Call& c) { return Store(c, c.args[1]); }

bool Add(Call& c) {
  const auto found = c.object->properties.find(c.key);
  const bool has = found != c.object->properties.end();
  if (!has || found->second.kind != Value::Kind::kNumber) {
    c.error = "Add() needs a number property, and " + NameObject(*c.object) +
              (has ? "'s " + c.key + " is " + FormatValue(found->second)
                   : " has no property " + QuoteForError(c.key));
    return false;
  }
  if (c.args[1].kind != Value::Kind::kNumber) {
    c.error = "Add() adds a number, not " + FormatValue(c.args[1]);
    return false;
  }
  const Value sum = Value::Number(found->second.number + c.args[1].number);
  if (!std::isfinite(sum.number)) {
    c.error = "the sum is too large";
    return false;
  }
  return Store(c, sum);
}

bool Has(Call& c) {
  c.value = Value::Bool(c.object->properties.count(c.key) > 0);
  return true;
}

bool Remove(Call& c) {
  const Value* property = FindProperty(c);
  if (property == nullptr) return false;
  c.value = *property;
  c.object->properties.erase(c.key);
  c.lines.push_back("removed " + c.key + " (was " + FormatValue(c.value) + ")");
  return true;
}

bool Keys(Call& c) {
  std::string names;
  for (const auto& entry : c.object->properties) names += (names.empty() ? "" : ", ") + entry.first;
  c.lines.push_back(names.empty() ? "(no properties)" : names);
  c.value = Value::Text(std::move(names));
  return true;
}

bool Template(Call& c) {
  c.value = Value::Text(c.object->templateName);
  return true;
}

bool GoID(Call& c) {
  c.value = Value::Number(static_cast<double>(static_cast<std::int32_t>(c.object->goid)));
  return true;
}

// ---------------------------------------------------------------------------------------------
// What the script knows: the only list of its calls, also the source of Help() and of the hints
// in error lines.

const CallInfo kFunctions[] = {
    {"MakeGoid", {"N"}, "the game object with GoID N", MakeGoid},
    {"List", {}, "every game object of this host", List},
    {"Help", {}, "this overview", Help},
};

const CallInfo kMethods[] = {
    {"Describe", {}, "template and properties of the object", Describe},
    {"Get", {kKey}, "the value of a property", Get},
    {"Set", {kKey, "value"}, "sets a property: a number, \"text\", true, false, MakeGoid(N)", Set},
    {"Add", {kKey, "number"}, "adds to a number property", Add},
    {"Has", {kKey}, "whether the object has the property", Has},
    {"Remove", {kKey}, "removes a property", Remove},
    {"Keys", {}, "the names of the object's properties", Keys},
    {"Template", {}, "the object's template name", Template},
    {"GoID", {}, "the object's GoID", GoID},
};

std::string HelpLine(const std::string& usage, const char* summary) {
  std::string line = "  " + usage;
  if (line.size() < 34) line.resize(34, ' ');
  return line + " " + summary;
}

bool Help(Call& c) {
  c.lines.push_back(
      "This demo host runs script lines; the console turns \"[this].\" into "
      "MakeGoid(<this GoID>). and \"[that](\" into MakeGoid(.");
  for (const CallInfo& info : kFunctions) c.lines.push_back(HelpLine(Usage(info), info.summary));
  for (const CallInfo& info : kMethods) {
    c.lines.push_back(HelpLine("MakeGoid(N)." + Usage(info), info.summary));
  }
  c.lines.push_back(
      "Statements are separated by ';'. report.info(\"text\") sends a report to this console.");
  c.lines.push_back(
      "The console itself answers [who] (its clients), [spawns] (all consoles) and [quit].");
  c.value = Value::Text(c.lines.front());
  return true;
}

template <std::size_t N>
const CallInfo* FindCall(const CallInfo (&table)[N], const std::string& name) {
  for (const CallInfo& info : table) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

bool EqualIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// " (did you mean Describe()?)" when name differs from a known call only in letter case.
template <std::size_t N>
std::string CaseHint(const CallInfo (&table)[N], const std::string& name) {
  for (const CallInfo& info : table) {
    if (EqualIgnoringCase(name, info.name))
      return std::string(" (did you mean ") + info.name + "()?)";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Running parsed statements.

class Runner {
 public:
  explicit Runner(World& world) : world_(world) {}

  // Evaluates e into value. When shown is given (a statement, not an argument), the call may
  // put the lines it wants the developers to see there; otherwise the value is shown.
  bool Run(const Expr& e, Value& value, std::vector<std::string>* shown, std::string& error) {
    if (e.kind == Expr::Kind::kLiteral) {
      value = e.literal;
      return true;
    }
    Call call(world_);
    const bool method = e.kind == Expr::Kind::kMethod;
    const CallInfo* info = method ? FindMethod(e, call, error) : FindFunction(e, error);
    if (info == nullptr || !CheckArity(*info, e.children.size() - (method ? 1 : 0), error)) {
      return false;
    }
    for (std::size_t i = method ? 1 : 0; i < e.children.size(); ++i) {
      Value v;
      if (!Run(e.children[i], v, nullptr, error)) return false;
      call.args.push_back(std::move(v));
    }
    if (method && Arity(*info) > 0 && std::strcmp(info->params[0], kKey) == 0 &&
        !ReadKey(*info, call.args[0], call.key, error)) {
      return false;
    }
    if (!info->run(call)) {
      error = std::move(call.error);
      return false;
    }
    value = std::move(call.value);
    if (shown != nullptr) *shown = std::move(call.lines);
    return true;
  }

 private:
  static const CallInfo* FindFunction(const Expr& e, std::string& error) {
    const CallInfo* info = FindCall(kFunctions, e.name);
    if (info == nullptr) {
      error = "unknown function " + e.name + "()" + CaseHint(kFunctions, e.name) +
              CaseHint(kMethods, e.name) + "; Help() lists what this console understands";
    }
    return info;
  }

  // Evaluates the object a method is called on, then finds the method.
  const CallInfo* FindMethod(const Expr& e, Call& call, std::string& error) {
    Value target;
    if (!Run(e.children[0], target, nullptr, error)) return nullptr;
    if (target.kind != Value::Kind::kObject) {
      error = FormatValue(target) + " is no game object, so it has no method " + e.name +
              "(); write MakeGoid(N)." + e.name + "(...)";
      return nullptr;
    }
    // An object value names an object that exists: MakeGoid() checks, and none is ever removed.
    call.object = world_.FindObject(target.goid);
    const CallInfo* info = FindCall(kMethods, e.name);
    if (info == nullptr) {
      error = NameObject(*call.object) + " has no method " + e.name + "()" +
              CaseHint(kMethods, e.name) + "; Help() lists the methods";
    }
    return info;
  }

  static bool CheckArity(const CallInfo& info, std::size_t given, std::string& error) {
    const std::size_t arity = Arity(info);
    if (given == arity) return true;
    error = std::string(info.name) + "() takes " + std::to_string(arity) +
            (arity == 1 ? " argument" : " arguments") + ", not " + std::to_string(given) + ": " +
            Usage(info);
    return false;
  }

  static bool ReadKey(const CallInfo& info, const Value& arg, std::string& key,
                      std::string& error) {
    if (arg.kind != Value::Kind::kText) {
      error = std::string(info.name) +
              "() wants a property name in quotes, such as \"health\", not " + FormatValue(arg);
      return false;
    }
    bool valid = !arg.text.empty() && arg.text.size() <= World::kMaxKeyChars;
    for (const char c : arg.text) valid = valid && IsNameChar(c);
    if (!valid) {
      error = "a property name is 1 to " + std::to_string(World::kMaxKeyChars) +
              " letters, digits or '_', not " + QuoteForError(arg.text);
      return false;
    }
    key = arg.text;
    return true;
  }

  World& world_;
};

}  // namespace

std::vector<std::string> EvaluateLine(World& world, const std::string& line) {
  std::vector<std::string> answer;
  std::string error;
  std::vector<Expr> statements;
  if (!ParseScriptLine(line, statements, error)) {
    answer.push_back("QC_ERROR: not understood " + error);
    return answer;
  }
  Runner runner(world);
  for (const Expr& statement : statements) {
    Value value;
    std::vector<std::string> shown;
    if (!runner.Run(statement, value, &shown, error)) {
      answer.push_back("QC_ERROR: " + error);
      break;
    }
    if (shown.empty()) shown.push_back(FormatValue(value));
    for (std::string& l : shown) answer.push_back(std::move(l));
  }
  return answer;
}

}  // namespace qc::demo
