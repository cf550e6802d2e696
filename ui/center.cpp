// Window centring, done by every dialog as it opens, and the end of a modal dialog.
#include "ui/dialog_rules.h"
#include "ui/ui.h"

void CenterWindow(HWND window) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return;
  int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  // Arithmetic shifts: a window larger than the screen gets a negative edge,
  // rounded down (805 wide on 800 gives -3).
  int left = (screenWidth - static_cast<int>(rect.right - rect.left)) >> 1;
  int top = (screenHeight - static_cast<int>(rect.bottom - rect.top)) >> 1;
  // Z order not excluded: the dialog also comes to the top.
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE);
}

INT_PTR EndOnOkOrCancel(HWND dialog, WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDOK:
      EndDialog(dialog, 1);
      return TRUE;
    case IDCANCEL:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}
