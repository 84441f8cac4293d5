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
bool Bind(void* module, int index, Function& slot, std::string& error) {
  void* symbol = dlsym(module, kNames[index]);
  if (symbol == nullptr) {
    error = std::string("entry point not exported: ") + kNames[index];
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
  return Bind(module, 0, api.SpawnServer, error) && Bind(module, 1, api.BroadcastMsg, error) &&
         Bind(module, 2, api.CheckSysMsg, error) && Bind(module, 3, api.GetNextMessage, error) &&
         Bind(module, 4, api.CheckReportMsg, error) && Bind(module, 5, api.TestDLL, error) &&
         Bind(module, 6, api.GetFlagConfirm, error);
}

}  // namespace qc::loader
