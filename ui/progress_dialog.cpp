// The progress dialogs that polling loops keep alive (105, 110, 114): opening,
// the one procedure whose Cancel ends the run, and the loop's turns.
#include "common/report.h"
#include "common/text.h"
#include "ui/ui.h"

namespace {

// What the dialog takes as it opens: the creation parameter of its procedure.
struct ProgressOpening {
  const char* caption;  // nullptr: the template's
  int rangeHigh;
};

void PumpMessages(HWND dialog, bool oneMessage) {
  MSG message;
  while (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
    if (oneMessage) break;
  }
}

void ShowHeldProgress(ProgressDialog* dialog, std::uint32_t now) {
  if (dialog->positionBehind) {
    SendDlgItemMessageA(dialog->window, kProgressControl, PBM_SETPOS, static_cast<WPARAM>(dialog->position), 0);
  }
  if (dialog->captionBehind) SetWindowTextA(dialog->window, dialog->caption);
  dialog->positionBehind = false;
  dialog->captionBehind = false;
  dialog->shownAt = now;
  dialog->shown = true;
}

}  // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    const ProgressOpening* opening = reinterpret_cast<const ProgressOpening*>(lParam);
    if (opening != nullptr && opening->caption != nullptr) SetWindowTextA(dialog, opening->caption);
    CenterWindow(dialog);
    if (opening != nullptr) SetProgressRange(dialog, opening->rangeHigh);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    // Whatever the loop is doing (a worker blocked in connect or receive, a
    // transfer halfway), the process ends here.
    DestroyWindow(dialog);
    UserAbort();
  }
  return FALSE;
}

HWND OpenProgressDialog(HINSTANCE instance, int templateId, int rangeHigh, const char* caption) {
  ProgressOpening opening{caption, rangeHigh};
  HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), nullptr, ProgressDialogProc,
                                   reinterpret_cast<LPARAM>(&opening));
  ShowWindow(window, SW_SHOWNORMAL);
  return window;
}

void SetProgressRange(HWND window, int high) {
  SendDlgItemMessageA(window, kProgressControl, PBM_SETRANGE, 0, MAKELPARAM(0, high));
}

ProgressDialog KeepProgressDialog(HWND window, ProgressPace pace, std::uint32_t now) {
  ProgressDialog dialog{};
  dialog.window = window;
  dialog.pace = pace;
  dialog.pumpedAt = now;
  dialog.shownAt = now;
  return dialog;
}

// Every span is an unsigned difference of two clock readings, right across the
// wrap of the 32-bit millisecond clock.
void TendProgressDialog(ProgressDialog* dialog, std::uint32_t now) {
  if (now - dialog->pumpedAt < dialog->pace.pumpMs) return;
  dialog->pumpedAt = now;
  if (dialog->window == nullptr) return;
  PumpMessages(dialog->window, dialog->pace.oneMessage);
  bool behind = dialog->positionBehind || dialog->captionBehind;
  if (behind && now - dialog->shownAt >= dialog->pace.refreshMs) ShowHeldProgress(dialog, now);
}

std::uint32_t UntilNextTurn(const ProgressDialog& dialog, std::uint32_t now) {
  std::uint32_t since = now - dialog.pumpedAt;
  return since >= dialog.pace.pumpMs ? 0 : dialog.pace.pumpMs - since;
}

void ShowProgress(ProgressDialog* dialog, std::uint32_t now, int position, const char* caption, bool immediately) {
  if (dialog->window == nullptr) return;
  dialog->position = position;
  dialog->positionBehind = true;
  if (caption != nullptr) {
    CopyText(dialog->caption, caption);
    dialog->captionBehind = true;
  }
  if (!dialog->shown || immediately || now - dialog->shownAt >= dialog->pace.refreshMs) ShowHeldProgress(dialog, now);
}
