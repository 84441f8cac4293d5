// The profile file on Windows: GetPrivateProfileIntA and GetPrivateProfileStringA look a bare
// file name up in the Windows directory.
#include <windows.h>

#include "loader/profile_path.h"

namespace qc::loader {

std::string ConsoleProfilePath() {
  char directory[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return "quillaret_console.ini";
  std::string path(directory, length);
  if (path.back() != '\\') path += '\\';
  return path + "quillaret_console.ini";
}

}  // namespace qc::loader
