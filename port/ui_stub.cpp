// Placeholder user interface until the dialog manager lands: message boxes go
// to the standard error stream, and a dialog ends the process.
#include <cstdio>

#include "port/win32.h"

namespace {
[[noreturn]] void Missing(const char* what) {
  std::fprintf(stderr, "zemupgrade: %s is not built yet\n", what);
  ExitProcess(1);
}
}  // namespace

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return TRUE; }
INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { Missing("the dialog manager"); }
HWND CreateDialogParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) { Missing("the dialog manager"); }
BOOL EndDialog(HWND, INT_PTR) { return FALSE; }
BOOL ShowWindow(HWND, int) { return FALSE; }
BOOL DestroyWindow(HWND) { return FALSE; }
BOOL IsWindow(HWND) { return FALSE; }
BOOL SetWindowTextA(HWND, LPCSTR) { return FALSE; }
int GetWindowTextA(HWND, LPSTR, int) { return 0; }
BOOL SetDlgItemTextA(HWND, int, LPCSTR) { return FALSE; }
UINT GetDlgItemTextA(HWND, int, LPSTR, int) { return 0; }
HWND GetDlgItem(HWND, int) { return nullptr; }
int GetDlgCtrlID(HWND) { return 0; }
LRESULT SendMessageA(HWND, UINT, WPARAM, LPARAM) { return 0; }
LRESULT SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) { return 0; }
BOOL PostMessageA(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
HWND SetFocus(HWND) { return nullptr; }
HWND GetFocus() { return nullptr; }
BOOL PeekMessageA(LPMSG, HWND, UINT, UINT, UINT) { return FALSE; }
BOOL TranslateMessage(const MSG*) { return FALSE; }
LRESULT DispatchMessageA(const MSG*) { return 0; }
BOOL GetWindowRect(HWND, LPRECT) { return FALSE; }
int GetSystemMetrics(int) { return 0; }
BOOL SetWindowPos(HWND, HWND, int, int, int, int, UINT) { return FALSE; }

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::fprintf(stderr, "[%s] %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  return IDOK;
}
