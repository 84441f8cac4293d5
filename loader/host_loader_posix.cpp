// Loading the console library with dlopen/dlsym.
#include <dlfcn.h>

#include "loader/host_loader.h"

namespace qc::loader {
namespace {

const char* const kNames[kEntryPointCount] = {
    "_ZN8QCServer11SpawnServerEjPc",  "_ZN8QCServer12BroadcastMsgEjPc",
    "_ZN8QCServer11CheckSysMsgEPKc",  "_ZN8QCServer14GetNextMessageEj",
    "_ZN8QCServer14CheckReportMsgEPc", "_ZN8QCServer7TestDLLEj",
    "_ZN8QCServer14GetFlagConfirmEj",
};

template <typename Function>
bool Bind(void* module, const std::string& path, int index, Function& slot, std::string& error) {
  void* symbol = dlsym(module, kNames[index]);
  if (symbol == nullptr) {
    error = std::string("entry point not exported: ") + kNames[index] + " (by " + path + ")";
    return false;
  }
  slot = reinterpret_cast<Function>(symbol);
  return true;
}

}  // namespace

const char* DefaultLibraryName() { return "libquillaret_console.so"; }

const char* const* ExportedNames() { return kNames; }

bool LoadConsoleLibrary(const std::string& path, ConsoleApi& api, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    return false;
  }
  return Bind(module, path, 0, api.SpawnServer, error) &&
         Bind(module, path, 1, api.BroadcastMsg, error) &&
         Bind(module, path, 2, api.CheckSysMsg, error) &&
         Bind(module, path, 3, api.GetNextMessage, error) &&
         Bind(module, path, 4, api.CheckReportMsg, error) &&
         Bind(module, path, 5, api.TestDLL, error) &&
         Bind(module, path, 6, api.GetFlagConfirm, error);
}

}  // namespace qc::loader
