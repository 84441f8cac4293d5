// The exported class through which a game host drives the library. Only the entry points
// include this header: a host binds the members by their exported names, never through it.
#pragma once

#if defined(_WIN32)
#define QC_EXPORT  // the .def files give the members their MSVC-decorated export names
#else
#define QC_EXPORT __attribute__((visibility("default")))
#endif

// The members are private: a host reaches them through dlsym / GetProcAddress only.
class QCServer {
 private:
  QC_EXPORT static bool SpawnServer(unsigned int goid, char* templateName);
  QC_EXPORT static void BroadcastMsg(unsigned int goid, char* text);
  QC_EXPORT static bool CheckSysMsg(const char* text);
  QC_EXPORT static const char* GetNextMessage(unsigned int goid);
  QC_EXPORT static const char* CheckReportMsg(char* text);
  QC_EXPORT static const char* TestDLL(unsigned int goid);
  QC_EXPORT static bool GetFlagConfirm(unsigned int goid);
};
