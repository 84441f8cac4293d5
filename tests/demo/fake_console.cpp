// A stand-in console library for the host's failure paths. It exports the QCServer entry points
// under their usual names, but refuses every spawn; built with QC_FAKE_WITHOUT_TEST_DLL it lacks
// one entry point altogether.
#include "host/qc_server.h"

bool QCServer::SpawnServer(unsigned int, char*) { return false; }
void QCServer::BroadcastMsg(unsigned int, char*) {}
bool QCServer::CheckSysMsg(const char*) { return false; }
const char* QCServer::GetNextMessage(unsigned int) { return ""; }
const char* QCServer::CheckReportMsg(char*) { return ""; }
#if !defined(QC_FAKE_WITHOUT_TEST_DLL)
const char* QCServer::TestDLL(unsigned int) { return ""; }
#endif
bool QCServer::GetFlagConfirm(unsigned int) { return false; }
