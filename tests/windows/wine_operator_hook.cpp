// The operator's eyes inside zemupgrade.exe: a window-procedure hook that Wine
// loads into every GUI process of the desktop once wine_operator installs it.
// In the process whose id is the operator window's title it hands three things
// to the operator, synchronously, before the window procedure sees them:
//   1  WM_SETTEXT on a top-level window (captions change faster than any poll:
//      the last "Uploading ... Bytes" caption lives a few microseconds),
//   2  WM_SHOWWINDOW (show) on a top-level window: the dialog is fully set up
//      and not yet visible, so even a dialog that lasts a millisecond is seen,
//   3  WM_DESTROY of a top-level window.
// The operator may read the window's controls while it answers: the sending
// thread handles messages sent to it while it waits.
#include "common/platform.h"
#include "tests/windows/wine_operator_link.h"

#include <cstdlib>
#include <cstring>

namespace {

DWORD OperatorTarget(HWND operatorWindow) {
  char title[32] = "";
  GetWindowTextA(operatorWindow, title, sizeof title);
  return static_cast<DWORD>(std::strtoul(title, nullptr, 10));
}

void Forward(const CWPSTRUCT* call) {
  ULONG_PTR kind = 0;
  if (call->message == WM_SETTEXT) {
    kind = kLinkCaption;
  } else if (call->message == WM_SHOWWINDOW && call->wParam != 0) {
    kind = kLinkShown;
  } else if (call->message == WM_DESTROY) {
    kind = kLinkDestroyed;
  } else {
    return;
  }
  if ((GetWindowLongA(call->hwnd, GWL_STYLE) & WS_CHILD) != 0) return;
  HWND operatorWindow = FindWindowExA(HWND_MESSAGE, nullptr, kLinkWindowClass, nullptr);
  if (operatorWindow == nullptr || OperatorTarget(operatorWindow) != GetCurrentProcessId()) return;
  // The hook sees the text in the sender's character set: UTF-16 for Wine's
  // own message boxes, ANSI for the program's dialogs.
  char converted[1024];
  const char* text = "";
  if (kind == kLinkCaption && call->lParam != 0) {
    if (IsWindowUnicode(call->hwnd)) {
      converted[0] = 0;
      WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(call->lParam), -1, converted,
                          sizeof converted, nullptr, nullptr);
      converted[sizeof converted - 1] = 0;
      text = converted;
    } else {
      text = reinterpret_cast<const char*>(call->lParam);
    }
  }
  COPYDATASTRUCT data;
  data.dwData = kind;
  data.cbData = static_cast<DWORD>(std::strlen(text) + 1);
  data.lpData = const_cast<char*>(text);
  DWORD_PTR result = 0;
  SendMessageTimeoutA(operatorWindow, WM_COPYDATA, reinterpret_cast<WPARAM>(call->hwnd),
                      reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, kLinkTimeoutMs, &result);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK OperatorCallWndProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) Forward(reinterpret_cast<const CWPSTRUCT*>(lParam));
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
