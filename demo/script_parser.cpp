// The demo script's syntax: tokens and a small recursive-descent parser. Kept apart from the
// evaluation, so a whole line is parsed before anything runs.
#include "demo/script_parser.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qc::demo {
namespace {

constexpr int kMaxDepth = 16;               // nesting of calls and length of '.' chains
constexpr std::size_t kMaxStatements = 16;  // per line, so one line cannot flood the console
constexpr std::size_t kMaxShownChars = 60;  // of the developer's text quoted in an error

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
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string DescribeToken(const Token& token) {
  switch (token.kind) {
    case TokenKind::kName:
      return token.text;
    case TokenKind::kNumber:
      return token.text;
    case TokenKind::kText:
      return QuoteForError(token.text);
    case TokenKind::kSymbol:
      return "'" + token.text + "'";
    case TokenKind::kEnd:
      return "the end of the line";
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
        case '"':
          c = '"';
          break;
        case '\'':
          c = '\'';
          break;
        case '\\':
          c = '\\';
          break;
        case 'n':
          c = '\n';
          break;
        case 'r':
          c = '\r';
          break;
        case 't':
          c = '\t';
          break;
        default:
          error = AtColumn(i + 1) + "unknown escape " + QuoteForError(line.substr(i, 2)) +
                  " (known: \\\" \\' \\\\ \\n \\r \\t)";
          return false;
      }
      ++i;
    }
    token.text += c;
    ++i;
  }
  if (i >= line.size()) {
    error = AtColumn(start + 1) + "the text " + QuoteForError(line.substr(start)) +
            " has no closing " + (quote == '"' ? "double" : "single") + " quote";
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
    error = AtColumn(start + 1) + "the number " + QuoteForError(token.text) + " is too large";
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
      error = AtColumn(i + 1) + QuoteForError(line.substr(i, 8)) +
              " is no script: the console rewrites only \"[this].\" and \"[that](\", with "
              "their dot and parenthesis";
      return false;
    } else {
      // A byte of a multi-byte character is named by its value rather than shown half.
      const auto byte = static_cast<unsigned char>(c);
      char shown[8];
      std::snprintf(shown, sizeof shown, "\\x%02x", byte);
      error = AtColumn(i + 1) + "unexpected character " +
              (byte >= 0x80 ? "\"" + std::string(shown) + "\"" : QuoteForError(std::string(1, c)));
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
// The parser.

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
        return Fail(Peek(),
                    "more than " + std::to_string(kMaxStatements) + " statements on one line",
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
  bool IsSymbol(char c) const { return Peek().kind == TokenKind::kSymbol && Peek().text[0] == c; }
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
        return Fail(name, "expected a method name after '.', found " + DescribeToken(name), error);
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

}  // namespace

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string QuoteForError(const std::string& text) {
  if (text.size() <= kMaxShownChars) return FormatValue(Value::Text(text));
  return FormatValue(Value::Text(text.substr(0, kMaxShownChars))) + "...";
}

bool ParseScriptLine(const std::string& line, std::vector<Expr>& statements, std::string& error) {
  std::vector<Token> tokens;
  return Tokenize(line, tokens, error) && Parser(tokens).ParseLine(statements, error);
}

}  // namespace qc::demo
