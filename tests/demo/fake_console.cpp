// A stand-in console library for the host's failure paths. It exports the QCServer entry points
// under their usual names, but refuses every spawn; built with QC_FAKE_WITHOUT_TEST_DLL it lacks
// one entry point altogether.
class QCServer {
 private:
  __attribute__((visibility("default"))) static bool SpawnServer(unsigned int, char*);
  __attribute__((visibility("default"))) static void BroadcastMsg(unsigned int, char*);
  __attribute__((visibility("default"))) static bool CheckSysMsg(const char*);
  __attribute__((visibility("default"))) static const char* GetNextMessage(unsigned int);
  __attribute__((visibility("default"))) static const char* CheckReportMsg(char*);
  __attribute__((visibility("default"))) static const char* TestDLL(unsigned int);
  __attribute__((visibility("default"))) static bool GetFlagConfirm(unsigned int);
};

bool QCServer::SpawnServer(unsigned int, char*) { return false; }
void QCServer::BroadcastMsg(unsigned int, char*) {}
bool QCServer::CheckSysMsg(const char*) { return false; }
const char* QCServer::GetNextMessage(unsigned int) { return ""; }
const char* QCServer::CheckReportMsg(char*) { return ""; }
#if !defined(QC_FAKE_WITHOUT_TEST_DLL)
const char* QCServer::TestDLL(unsigned int) { return ""; }
#endif
bool QCServer::GetFlagConfirm(unsigned int) { return false; }
