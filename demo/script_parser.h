// The demo script's syntax. A line is a sequence of statements separated by ';'. A statement is
// a literal (12, -1.5, "text" or 'text' with \" \' \\ \n \r \t escapes, true, false), a
// function call such as MakeGoid(42), or a method call on a statement, chained with '.':
// MakeGoid(42).Set("mood", MakeGoid(7).Get("locked")).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "demo/value.h"

namespace qc::demo {

// One statement, or one argument, as a tree.
struct Expr {
  enum class Kind { kLiteral, kFunction, kMethod };
  Kind kind = Kind::kLiteral;
  Value literal;           // kLiteral
  std::string name;        // kFunction, kMethod: the name as written
  std::size_t column = 0;  // 1-based, where the expression begins in the line
  // kFunction: the arguments. kMethod: the object expression, then the arguments.
  std::vector<Expr> children;
};

// Parses one line (without its line end) into statements; an empty or blank line gives none.
// False with error set to "at column N: " and what was expected or not understood. Calls nest at
// most 16 deep, chains hold at most 16 calls, and a line at most 16 statements, so no line can
// exhaust the stack or flood the console.
bool ParseScriptLine(const std::string& line, std::vector<Expr>& statements, std::string& error);

// Letters, digits and '_': what names (and property names) are made of.
bool IsNameChar(char c);

// A piece of the developer's text, quoted for an error line: escaped as a script text, and cut
// to 60 characters and "..." when longer.
std::string QuoteForError(const std::string& text);

}  // namespace qc::demo
