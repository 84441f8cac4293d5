// The calls the demo script knows, and running parsed statements against the world.
#include "demo/evaluator.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <utility>

#include "demo/script_parser.h"

namespace qc::demo {
namespace {

// What the script knows, also the source of Help() and of the hints in error lines.

struct CallInfo {
  const char* name;
  std::size_t arity;
  const char* usage;
  const char* summary;
};

const CallInfo kFunctions[] = {
    {"MakeGoid", 1, "MakeGoid(N)", "the game object with GoID N"},
    {"List", 0, "List()", "every game object of this host"},
    {"Help", 0, "Help()", "this overview"},
};

const CallInfo kMethods[] = {
    {"Describe", 0, "Describe()", "template and properties of the object"},
    {"Get", 1, "Get(\"key\")", "the value of a property"},
    {"Set", 2, "Set(\"key\", value)",
     "sets a property: a number, \"text\", true, false, MakeGoid(N)"},
    {"Add", 2, "Add(\"key\", number)", "adds to a number property"},
    {"Has", 1, "Has(\"key\")", "whether the object has the property"},
    {"Remove", 1, "Remove(\"key\")", "removes a property"},
    {"Keys", 0, "Keys()", "the names of the object's properties"},
    {"Template", 0, "Template()", "the object's template name"},
    {"GoID", 0, "GoID()", "the object's GoID"},
};

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

std::string NameObject(const GameObject& object) {
  return FormatValue(Value::Object(object.goid)) + " (" + object.templateName + ")";
}

// Runs parsed statements against the world.
class Runner {
 public:
  explicit Runner(World& world) : world_(world) {}

  // Evaluates e into value. When shown is given (a statement, not an argument), the call may
  // put the lines it wants the developers to see there; otherwise the value is shown.
  bool Run(const Expr& e, Value& value, std::vector<std::string>* shown, std::string& error) {
    switch (e.kind) {
      case Expr::Kind::kLiteral:
        value = e.literal;
        return true;
      case Expr::Kind::kFunction:
        return RunFunction(e, value, shown, error);
      case Expr::Kind::kMethod:
        return RunMethod(e, value, shown, error);
    }
    return false;
  }

 private:
  bool RunArguments(const Expr& e, std::size_t first, std::vector<Value>& values,
                    std::string& error) {
    for (std::size_t i = first; i < e.children.size(); ++i) {
      Value v;
      if (!Run(e.children[i], v, nullptr, error)) return false;
      values.push_back(std::move(v));
    }
    return true;
  }

  static bool CheckArity(const CallInfo& info, std::size_t given, std::string& error) {
    if (given == info.arity) return true;
    error = std::string(info.name) + "() takes " + std::to_string(info.arity) +
            (info.arity == 1 ? " argument" : " arguments") + ", not " + std::to_string(given) +
            ": " + info.usage;
    return false;
  }

  bool RunFunction(const Expr& e, Value& value, std::vector<std::string>* shown,
                   std::string& error) {
    const CallInfo* info = FindCall(kFunctions, e.name);
    if (info == nullptr) {
      error = "unknown function " + e.name + "()" + CaseHint(kFunctions, e.name) +
              CaseHint(kMethods, e.name) + "; Help() lists what this console understands";
      return false;
    }
    if (!CheckArity(*info, e.children.size(), error)) return false;
    std::vector<Value> args;
    if (!RunArguments(e, 0, args, error)) return false;

    if (e.name == "MakeGoid") return MakeGoid(args[0], value, error);
    std::vector<std::string> lines;
    if (e.name == "List") {
      lines.push_back(std::to_string(world_.Objects().size()) + " game objects:");
      for (const GameObject& object : world_.Objects()) {
        lines.push_back("  " + NameObject(object) + ", " +
                        std::to_string(object.properties.size()) + " properties");
      }
      value = Value::Number(static_cast<double>(world_.Objects().size()));
    } else {  // Help
      lines.push_back(
          "This demo host runs script lines; the console turns \"[this].\" into "
          "MakeGoid(<this GoID>). and \"[that](\" into MakeGoid(.");
      for (const CallInfo& call : kFunctions) lines.push_back(Usage(call.usage, call.summary));
      for (const CallInfo& call : kMethods) {
        lines.push_back(Usage(std::string("MakeGoid(N).") + call.usage, call.summary));
      }
      lines.push_back(
          "Statements are separated by ';'. report.info(\"text\") sends a report "
          "to this console.");
      lines.push_back(
          "The console itself answers [who] (its clients), [spawns] (all consoles) "
          "and [quit].");
      value = Value::Text(lines.front());
    }
    if (shown != nullptr) *shown = std::move(lines);
    return true;
  }

  static std::string Usage(const std::string& usage, const char* summary) {
    std::string line = "  " + usage;
    if (line.size() < 34) line.resize(34, ' ');
    return line + " " + summary;
  }

  bool MakeGoid(const Value& arg, Value& value, std::string& error) {
    if (arg.kind != Value::Kind::kNumber || std::floor(arg.number) != arg.number ||
        arg.number < -2147483648.0 || arg.number > 4294967295.0) {
      error = "MakeGoid() wants a whole number (a GoID), not " + FormatValue(arg);
      return false;
    }
    // GoIDs are printed as signed decimals, so MakeGoid(-1) names GoID 4294967295.
    const auto goid = static_cast<std::uint32_t>(static_cast<std::int64_t>(arg.number));
    if (world_.FindObject(goid) == nullptr) {
      error = "no game object has GoID " + FormatGoid(goid) + "; List() shows them";
      return false;
    }
    value = Value::Object(goid);
    return true;
  }

  static bool ReadKey(const CallInfo& info, const Value& arg, std::string& key,
                      std::string& error) {
    if (arg.kind != Value::Kind::kText) {
      error = std::string(info.name) +
              "() wants a property name in quotes, such as \"health\", "
              "not " +
              FormatValue(arg);
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

  bool RunMethod(const Expr& e, Value& value, std::vector<std::string>* shown, std::string& error) {
    Value target;
    if (!Run(e.children[0], target, nullptr, error)) return false;
    if (target.kind != Value::Kind::kObject) {
      error = FormatValue(target) + " is no game object, so it has no method " + e.name +
              "(); write MakeGoid(N)." + e.name + "(...)";
      return false;
    }
    GameObject& object = *world_.FindObject(target.goid);  // objects are never removed
    const CallInfo* info = FindCall(kMethods, e.name);
    if (info == nullptr) {
      error = NameObject(object) + " has no method " + e.name + "()" + CaseHint(kMethods, e.name) +
              "; Help() lists the methods";
      return false;
    }
    if (!CheckArity(*info, e.children.size() - 1, error)) return false;
    std::vector<Value> args;
    if (!RunArguments(e, 1, args, error)) return false;

    std::vector<std::string> lines;
    std::string key;
    if (info->arity > 0 && !ReadKey(*info, args[0], key, error)) return false;
    const auto found = object.properties.find(key);
    const bool has = found != object.properties.end();

    if (e.name == "Describe") {
      lines.push_back(NameObject(object) + ", " + std::to_string(object.properties.size()) +
                      " properties");
      for (const auto& [name, v] : object.properties)
        lines.push_back("  " + name + " = " + FormatValue(v));
      value = Value::Text(lines.front());
    } else if (e.name == "Get" || e.name == "Remove") {
      if (!has) {
        error =
            NameObject(object) + " has no property " + QuoteForError(key) + "; Keys() lists them";
        return false;
      }
      value = found->second;
      if (e.name == "Remove") {
        object.properties.erase(found);
        lines.push_back("removed " + key + " (was " + FormatValue(value) + ")");
      } else {
        lines.push_back(key + " = " + FormatValue(value));
      }
    } else if (e.name == "Set" || e.name == "Add") {
      Value next = args[1];
      if (e.name == "Add") {
        if (!has || found->second.kind != Value::Kind::kNumber) {
          error = "Add() needs a number property, and " + NameObject(object) +
                  (has ? "'s " + key + " is " + FormatValue(found->second)
                       : " has no property " + QuoteForError(key));
          return false;
        }
        if (next.kind != Value::Kind::kNumber) {
          error = "Add() adds a number, not " + FormatValue(next);
          return false;
        }
        next = Value::Number(found->second.number + next.number);
        if (!std::isfinite(next.number)) {
          error = "the sum is too large";
          return false;
        }
      }
      if (next.kind == Value::Kind::kText && next.text.size() > World::kMaxTextChars) {
        error = "a text value holds at most " + std::to_string(World::kMaxTextChars) +
                " characters, not " + std::to_string(next.text.size());
        return false;
      }
      if (!has && object.properties.size() >= World::kMaxProperties) {
        error = NameObject(object) + " already has " + std::to_string(World::kMaxProperties) +
                " properties; Remove() one first";
        return false;
      }
      lines.push_back(key + " = " + FormatValue(next) +
                      (has ? " (was " + FormatValue(found->second) + ")" : " (new)"));
      object.properties[key] = next;
      value = next;
    } else if (e.name == "Has") {
      value = Value::Bool(has);
    } else if (e.name == "Keys") {
      std::string names;
      for (const auto& entry : object.properties)
        names += (names.empty() ? "" : ", ") + entry.first;
      value = Value::Text(names);
      lines.push_back(names.empty() ? "(no properties)" : names);
    } else if (e.name == "Template") {
      value = Value::Text(object.templateName);
    } else {  // GoID
      value = Value::Number(static_cast<double>(static_cast<std::int32_t>(object.goid)));
    }
    if (shown != nullptr) *shown = std::move(lines);
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
