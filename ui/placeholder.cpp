// Placeholders until the dialog procedures land.
#include <cstdio>

#include "common/platform.h"
#include "common/report.h"
#include "ui/ui.h"

namespace {
INT_PTR Missing() {
  std::printf("zemupgrade: the dialogs are not built yet\n");
  EndProcess(kExitFailed);
}
}  // namespace

void CenterWindow(HWND) {}
int ParseDottedQuad(const char*, std::uint32_t* result) {
  *result = 0;
  return 4;
}
INT_PTR CALLBACK NoticeDialogProc(HWND, UINT, WPARAM, LPARAM) { return Missing(); }
INT_PTR CALLBACK AddressDialogProc(HWND, UINT, WPARAM, LPARAM) { return Missing(); }
INT_PTR CALLBACK PasswordDialogProc(HWND, UINT, WPARAM, LPARAM) { return Missing(); }
INT_PTR CALLBACK ConfirmDialogProc(HWND, UINT, WPARAM, LPARAM) { return Missing(); }
INT_PTR CALLBACK SuccessDialogProc(HWND, UINT, WPARAM, LPARAM) { return Missing(); }
