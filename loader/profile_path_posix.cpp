// The profile file on POSIX: the library reads it from the current working directory.
#include "loader/profile_path.h"

namespace qc::loader {

std::string ConsoleProfilePath() { return "quillaret_console.ini"; }

}  // namespace qc::loader
