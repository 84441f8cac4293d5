// Loading the console library with LoadLibraryA/GetProcAddress, by the MSVC-decorated names
// a game host of the same width (32-bit or x64) uses.
#include <windows.h>

#include "loader/host_loader.h"

namespace qc::loader {
namespace {

// MSVC decorates the names by the width of the build: on x64 pointers carry the E qualifier.
#if defined(_WIN64)
const char* const kNames[kEntryPointCount] = {
    "?SpawnServer@QCServer@@CA_NIPEAD@Z",     "?BroadcastMsg@QCServer@@CAXIPEAD@Z",
    "?CheckSysMsg@QCServer@@CA_NPEBD@Z",      "?GetNextMessage@QCServer@@CAPEBDI@Z",
    "?CheckReportMsg@QCServer@@CAPEBDPEAD@Z", "?TestDLL@QCServer@@CAPEBDI@Z",
    "?GetFlagConfirm@QCServer@@CA_NI@Z",
};
#else
const char* const kNames[kEntryPointCount] = {
    "?SpawnServer@QCServer@@CA_NIPAD@Z",    "?BroadcastMsg@QCServer@@CAXIPAD@Z",
    "?CheckSysMsg@QCServer@@CA_NPBD@Z",     "?GetNextMessage@QCServer@@CAPBDI@Z",
    "?CheckReportMsg@QCServer@@CAPBDPAD@Z", "?TestDLL@QCServer@@CAPBDI@Z",
    "?GetFlagConfirm@QCServer@@CA_NI@Z",
};
#endif

// The system's text for an error code, without its trailing line end.
std::string SystemMessage(DWORD code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  std::string message = "error " + std::to_string(code);
  if (length > 0) message += " (" + std::string(text, length) + ")";
  return message;
}

template <typename Function>
bool Bind(HMODULE module, int index, Function& slot, std::string& error) {
  FARPROC symbol = GetProcAddress(module, kNames[index]);
  if (symbol == nullptr) {
    error = std::string("entry point not exported: ") + kNames[index];
    return false;
  }
  // FARPROC is the generic function pointer type; the entry point's real type is Function.
  slot = reinterpret_cast<Function>(reinterpret_cast<void*>(symbol));
  return true;
}

}  // namespace

const char* DefaultLibraryName() { return "quillaret_console.dll"; }

const char* const* ExportedNames() { return kNames; }

bool LoadConsoleLibrary(const std::string& path, ConsoleApi& api, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error = "cannot load " + path + ": " + SystemMessage(GetLastError());
    return false;
  }
  return Bind(module, 0, api.SpawnServer, error) && Bind(module, 1, api.BroadcastMsg, error) &&
         Bind(module, 2, api.CheckSysMsg, error) && Bind(module, 3, api.GetNextMessage, error) &&
         Bind(module, 4, api.CheckReportMsg, error) && Bind(module, 5, api.TestDLL, error) &&
         Bind(module, 6, api.GetFlagConfirm, error);
}

}  // namespace qc::loader
