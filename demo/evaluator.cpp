// The demo script: tokens, a small recursive-descent parser, and the calls it knows.
// A whole line is parsed before anything runs, so a line with a syntax error changes nothing.
#include "demo/evaluator.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qc::demo {
namespace {

constexpr int kMaxDepth = 16;                // nesting of calls and length of '.' chains
constexpr std::size_t kMaxStatements = 16;   // per line, so one line cannot flood the console
constexpr std::size_t kMaxShownChars = 60;   // of the developer's text quoted in an error

// ---------------------------------------------------------------------------------------------
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
    {"Set", 2, "Set(\"key\", value)", "sets a property: a number, \"text\", true, false, MakeGoid(N)"},
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
    if (EqualIgnoringCase(name, info.name)) return std::string(" (did you mean ") + info.name + "()?)";
  }
  return "";
}

// A piece of the developer's text, quoted for an error line: escaped, and cut when long.
std::string Show(const std::string& text) {
  if (text.size() <= kMaxShownChars) return FormatValue(Value::Text(text));
  return FormatValue(Value::Text(text.substr(0, kMaxShownChars))) + "...";
}

std::string NameObject(const GameObject& object) {
  return FormatValue(Value::Object(object.goid)) + " (" + object.templateName + ")";
}

// ---------------------------------------------------------------------------------------------
// Tokens.

enum class TokenKind { kName, kNumber, kText, kSymbol, kEnd };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;  // the name, the symbol, the number as written, or the text's contents
  double number = 0;
  std::size_t column = 0;  // 1-based
};

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string DescribeToken(const Token& token) {
  switch (token.kind) {
    case TokenKind::kName: return token.text;
    case TokenKind::kNumber: return token.text;
    case TokenKind::kText: return Show(token.text);
    case TokenKind::kSymbol: return "'" + token.text + "'";
    case TokenKind::kEnd: return "the end of the line";
  }
  return "";
}

std::string AtColumn(std::size_t column) { return "at column " + std::to_string(column) + ": "; }

bool ReadText(const std::string& line, std::size_t& i, Token& token, std::string& error) {
  const char quote = line[i];
  const std::size_t start = i++;
  while (i < line.size() && line[i] != quote) {
    char c = line[i];
    if (c == '\\') {
      if (i + 1 >= line.size()) break;
      switch (line[i + 1]) {
        case '"': c = '"'; break;
        case '\'': c = '\''; break;
        case '\\': c = '\\'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        default:
          error = AtColumn(i + 1) + "unknown escape " + Show(line.substr(i, 2)) +
                  " (known: \\\" \\' \\\\ \\n \\r \\t)";
          return false;
      }
      ++i;
    }
    token.text += c;
    ++i;
  }
  if (i >= line.size()) {
    error = AtColumn(start + 1) + "the text " + Show(line.substr(start)) + " has no closing " +
            (quote == '"' ? "double" : "single") + " quote";
    return false;
  }
  ++i;  // the closing quote
  token.kind = TokenKind::kText;
  return true;
}

bool ReadNumber(const std::string& line, std::size_t& i, Token& token, std::string& error) {
  const std::size_t start = i;
  if (line[i] == '-') ++i;
  while (i < line.size() && IsDigit(line[i])) ++i;
  if (i + 1 < line.size() && line[i] == '.' && IsDigit(line[i + 1])) {
    ++i;
    while (i < line.size() && IsDigit(line[i])) ++i;
  }
  token.kind = TokenKind::kNumber;
  token.text = line.substr(start, i - start);
  token.number = std::strtod(token.text.c_str(), nullptr);
  if (!std::isfinite(token.number)) {
    error = AtColumn(start + 1) + "the number " + Show(token.text) + " is too large";
    return false;
  }
  return true;
}

bool Tokenize(const std::string& line, std::vector<Token>& tokens, std::string& error) {
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    Token token;
    token.column = i + 1;
    if (c == ' ' || c == '\t') {
      ++i;
      continue;
    }
    if (IsNameStart(c)) {
      const std::size_t start = i;
      while (i < line.size() && IsNameChar(line[i])) ++i;
      token.kind = TokenKind::kName;
      token.text = line.substr(start, i - start);
    } else if (IsDigit(c) || (c == '-' && i + 1 < line.size() && IsDigit(line[i + 1]))) {
      if (!ReadNumber(line, i, token, error)) return false;
    } else if (c == '"' || c == '\'') {
      if (!ReadText(line, i, token, error)) return false;
    } else if (std::strchr("().,;", c) != nullptr) {
      token.kind = TokenKind::kSymbol;
      token.text = std::string(1, c);
      ++i;
    } else if (c == '[') {
      error = AtColumn(i + 1) + Show(line.substr(i, 8)) +
              " is no script: the console rewrites only \"[this].\" and \"[that](\", with "
              "their dot and parenthesis";
      return false;
    } else {
      error = AtColumn(i + 1) + "unexpected character " + Show(std::string(1, c));
      return false;
    }
    tokens.push_back(std::move(token));
  }
  Token end;
  end.column = line.size() + 1;
  tokens.push_back(end);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Syntax tree and parser.

struct Expr {
  enum class Kind { kLiteral, kFunction, kMethod };
  Kind kind = Kind::kLiteral;
  Value literal;
  std::string name;
  std::size_t column = 0;
  // kFunction: the arguments. kMethod: the object expression, then the arguments.
  std::vector<Expr> children;
};

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

  bool ParseLine(std::vector<Expr>& statements, std::string& error) {
    for (;;) {
      if (IsSymbol(';')) {
        ++next_;
        continue;
      }
      if (Peek().kind == TokenKind::kEnd) return true;
      if (statements.size() == kMaxStatements) {
        return Fail(Peek(), "more than " + std::to_string(kMaxStatements) +
                                " statements on one line",
                    error);
      }
      Expr statement;
      if (!ParseExpr(statement, 0, error)) return false;
      statements.push_back(std::move(statement));
      if (IsSymbol(';')) continue;
      if (Peek().kind != TokenKind::kEnd) {
        return Fail(Peek(), "expected ';' or the end of the line, found " + DescribeToken(Peek()),
                    error);
      }
    }
  }

 private:
  const Token& Peek() const { return tokens_[next_]; }
  bool IsSymbol(char c) const {
    return Peek().kind == TokenKind::kSymbol && Peek().text[0] == c;
  }
  bool Fail(const Token& at, const std::string& what, std::string& error) const {
    error = AtColumn(at.column) + what;
    return false;
  }

  bool ParseExpr(Expr& out, int depth, std::string& error) {
    if (depth > kMaxDepth) return Fail(Peek(), "calls nested too deeply", error);
    if (!ParsePrimary(out, depth, error)) return false;
    for (int chain = 0; IsSymbol('.'); ++chain) {
      ++next_;
      if (chain == kMaxDepth) return Fail(Peek(), "too many calls chained with '.'", error);
      const Token& name = Peek();
      if (name.kind != TokenKind::kName) {
        return Fail(name, "expected a method name after '.', found " + DescribeToken(name),
                    error);
      }
      ++next_;
      Expr call;
      call.kind = Expr::Kind::kMethod;
      call.name = name.text;
      call.column = name.column;
      call.children.push_back(std::move(out));
      if (!ParseArguments(call, depth, error)) return false;
      out = std::move(call);
    }
    return true;
  }

  bool ParsePrimary(Expr& out, int depth, std::string& error) {
    const Token& token = Peek();
    out.column = token.column;
    switch (token.kind) {
      case TokenKind::kNumber:
        out.literal = Value::Number(token.number);
        ++next_;
        return true;
      case TokenKind::kText:
        out.literal = Value::Text(token.text);
        ++next_;
        return true;
      case TokenKind::kName:
        ++next_;
        if (!IsSymbol('(') && (token.text == "true" || token.text == "false")) {
          out.literal = Value::Bool(token.text == "true");
          return true;
        }
        if (token.text == "report" && IsSymbol('.')) {
          // The console's report rule did not take the line, so it reaches the script.
          return Fail(token, "a report call needs a quoted text, as in report.info(\"hello\")",
                      error);
        }
        out.kind = Expr::Kind::kFunction;
        out.name = token.text;
        return ParseArguments(out, depth, error);
      case TokenKind::kSymbol:
        if (token.text == "(") {
          ++next_;
          if (!ParseExpr(out, depth + 1, error)) return false;
          if (!IsSymbol(')')) {
            return Fail(Peek(), "expected ')', found " + DescribeToken(Peek()), error);
          }
          ++next_;
          return true;
        }
        break;
      case TokenKind::kEnd:
        break;
    }
    return Fail(token, "expected a value or a call, found " + DescribeToken(token), error);
  }

  // Reads "(" arguments ")" after the name of a call.
  bool ParseArguments(Expr& call, int depth, std::string& error) {
    if (!IsSymbol('(')) {
      return Fail(Peek(), "expected '(' after " + call.name + ", found " + DescribeToken(Peek()),
                  error);
    }
    ++next_;
    if (IsSymbol(')')) {
      ++next_;
      return true;
    }
    for (;;) {
      Expr argument;
      if (!ParseExpr(argument, depth + 1, error)) return false;
      call.children.push_back(std::move(argument));
      if (IsSymbol(',')) {
        ++next_;
        continue;
      }
      if (IsSymbol(')')) {
        ++next_;
        return true;
      }
      return Fail(Peek(),
                  "expected ',' or ')' in the arguments of " + call.name + "(), found " +
                      DescribeToken(Peek()),
                  error);
    }
  }

  const std::vector<Token>& tokens_;
  std::size_t next_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Running statements.

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
      lines.push_back("This demo host runs script lines; the console turns \"[this].\" into "
                      "MakeGoid(<this GoID>). and \"[that](\" into MakeGoid(.");
      for (const CallInfo& call : kFunctions) lines.push_back(Usage(call.usage, call.summary));
      for (const CallInfo& call : kMethods) {
        lines.push_back(Usage(std::string("MakeGoid(N).") + call.usage, call.summary));
      }
      lines.push_back("Statements are separated by ';'. report.info(\"text\") sends a report "
                      "to this console.");
      lines.push_back("The console itself answers [who] (its clients), [spawns] (all consoles) "
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
      error = std::string(info.name) + "() wants a property name in quotes, such as \"health\", "
              "not " + FormatValue(arg);
      return false;
    }
    bool valid = !arg.text.empty() && arg.text.size() <= World::kMaxKeyChars;
    for (const char c : arg.text) valid = valid && IsNameChar(c);
    if (!valid) {
      error = "a property name is 1 to " + std::to_string(World::kMaxKeyChars) +
              " letters, digits or '_', not " + Show(arg.text);
      return false;
    }
    key = arg.text;
    return true;
  }

  bool RunMethod(const Expr& e, Value& value, std::vector<std::string>* shown,
                 std::string& error) {
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
      for (const auto& [name, v] : object.properties) lines.push_back("  " + name + " = " + FormatValue(v));
      value = Value::Text(lines.front());
    } else if (e.name == "Get" || e.name == "Remove") {
      if (!has) {
        error = NameObject(object) + " has no property " + Show(key) + "; Keys() lists them";
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
                       : " has no property " + Show(key));
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
      for (const auto& entry : object.properties) names += (names.empty() ? "" : ", ") + entry.first;
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
  std::vector<Token> tokens;
  std::vector<Expr> statements;
  if (!Tokenize(line, tokens, error) || !Parser(tokens).ParseLine(statements, error)) {
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
