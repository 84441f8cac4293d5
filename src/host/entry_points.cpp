// The seven exported QCServer functions: thin doors onto the library's own routines.
// Nothing here throws; nothing the library calls throws either.
#include "host/qc_server.h"
#include "host/reports.h"
#include "host/retrieval.h"
#include "host/spawn.h"
#include "net/broadcast.h"
#include "server/console_server.h"

bool QCServer::SpawnServer(unsigned int goid, char* templateName) {
  return qc::SpawnConsoleServer(goid, templateName);
}

void QCServer::BroadcastMsg(unsigned int goid, char* text) {
  if (text == nullptr) return;
  if (qc::ConsoleServer* server = qc::FindServer(goid)) qc::SendToAllClients(*server, text);
}

bool QCServer::CheckSysMsg(const char* text) { return text != nullptr && qc::IsSystemNotice(text); }

const char* QCServer::GetNextMessage(unsigned int goid) { return qc::TakeNextMessage(goid); }

const char* QCServer::CheckReportMsg(char* text) { return qc::RewriteReportCall(text); }

const char* QCServer::TestDLL(unsigned int goid) { return qc::DescribeAttachment(goid); }

bool QCServer::GetFlagConfirm(unsigned int goid) { return qc::SpawnConfirmFlag(goid); }
