#include "common/report.h"

#include "common/platform.h"

void ReportError(const char* message, const char* title) {
  MessageBoxA(nullptr, message, title != nullptr ? title : kDefaultErrorTitle, MB_TASKMODAL);
}

void EndProcess(int status) {
  ExitProcess(static_cast<UINT>(status));
}

void FatalFailure(const char* message) {
  ReportError(message);
  EndProcess(kExitFailed);
}

void UserAbort() {
  ReportError(kUserAbortMessage);
  EndProcess(kExitCancelled);
}
