// The demo host's script evaluator: runs the lines that developers type, after the console has
// rewritten "[this]." and "[that](" into MakeGoid calls, against the in-memory world. Help()
// lists the functions and the methods of a game object that it knows (the syntax is in
// demo/script_parser.h).
#pragma once

#include <string>
#include <vector>

#include "demo/world.h"

namespace qc::demo {

// Runs one line of script (without its line end) against world and returns what the developers
// should see, one entry per line, without line ends. Each statement shows a short answer; the
// first statement that fails stops the line and adds one line beginning "QC_ERROR: " that names
// what was not understood. A line that fails to parse changes nothing; a blank line gives no
// answer at all. Answers never hold control characters, and only error lines begin with a
// system-notice prefix.
std::vector<std::string> EvaluateLine(World& world, const std::string& line);

}  // namespace qc::demo
