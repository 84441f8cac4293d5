// Where the console library reads its profile file, so that a host can read the same settings
// (BasePort, to know which ports its consoles listen on).
#pragma once

#include <string>

namespace qc::loader {

// The path of "quillaret_console.ini" as the library finds it when a console is spawned: in the
// current working directory on POSIX, in the Windows directory on Windows (where the
// private-profile functions look a bare file name up). The file need not exist.
std::string ConsoleProfilePath();

}  // namespace qc::loader
