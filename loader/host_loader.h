// Binds the console library at run time, as a game host does: loads the module and looks up the
// seven QCServer entry points by their exported names (Itanium names on Linux; on Windows the
// MSVC-decorated names of a 32-bit or an x64 build, the width of the program that loads it).
#pragma once

#include <string>

namespace qc::loader {

// The seven entry points, with the calling convention and signatures the library exports.
struct ConsoleApi {
  bool (*SpawnServer)(unsigned int goid, char* templateName);
  void (*BroadcastMsg)(unsigned int goid, char* text);
  bool (*CheckSysMsg)(const char* text);
  const char* (*GetNextMessage)(unsigned int goid);
  const char* (*CheckReportMsg)(char* text);
  const char* (*TestDLL)(unsigned int goid);
  bool (*GetFlagConfirm)(unsigned int goid);
};

// The library's file name on this platform ("libquillaret_console.so" or
// "quillaret_console.dll").
const char* DefaultLibraryName();

// The exported name of each entry point on this platform, in ConsoleApi's order.
const char* const* ExportedNames();
constexpr int kEntryPointCount = 7;

// Loads the library at path (a bare name is searched the platform's way) and binds all seven
// entry points. On failure returns false and sets error to a message naming what is missing:
// the library (with the platform's reason) or the first entry point that is not exported (with
// the library's path). The library stays loaded for the life of the process.
bool LoadConsoleLibrary(const std::string& path, ConsoleApi& api, std::string& error);

}  // namespace qc::loader
