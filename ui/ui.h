// Dialog procedures and window helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"
#include "ui/ids.h"

// Moves the window to the centre of the primary screen, keeping its size; brings
// it to the top. A window whose rectangle cannot be read stays where it is.
void CenterWindow(HWND window);

// ---- a progress dialog that a polling loop keeps alive ----------------------------
// The modeless dialogs 105, 110 and 114: a bar (control 1010) and a Cancel that
// ends the run. Their messages reach them only when the loop that made them
// takes them, so each loop tends its dialog at a pace of its own, busy or not.

// Creates the dialog from its template with ProgressDialogProc, owned by no
// window, and shows it. As it opens it takes the caption (nullptr: the
// template's), centres itself and sets its bar's range to 0..rangeHigh.
HWND OpenProgressDialog(HINSTANCE instance, int templateId, int rangeHigh, const char* caption);

// The procedure of every progress dialog: Cancel destroys the dialog and ends
// the run with "Upgrade Failed: User Abort", whatever the loop is doing.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// How a loop tends its dialog.
struct ProgressPace {
  std::uint32_t pumpMs;     // its messages are taken at most this often (0: at every turn the loop offers)
  std::uint32_t refreshMs;  // its bar and caption change at most this often (0: at once)
  bool oneMessage;          // one message a turn, else all that wait
};

inline constexpr std::size_t kProgressCaptionSize = 160;

// A loop's hold on its dialog. With a null window the loop runs as it would,
// and nothing is shown or taken.
struct ProgressDialog {
  HWND window;
  ProgressPace pace;
  std::uint32_t pumpedAt;  // clock (timeGetTime) of the last turn
  std::uint32_t shownAt;   // clock of the last change of bar or caption
  bool shown;              // they have changed at least once
  bool positionBehind;     // a position asked for is not shown yet
  bool captionBehind;      // a caption asked for is not shown yet
  int position;
  char caption[kProgressCaptionSize];
};

// From now on the loop tends the window at this pace; both intervals start now.
ProgressDialog KeepProgressDialog(HWND window, ProgressPace pace, std::uint32_t now);

// The loop's turn: once pace.pumpMs has passed since the last, the dialog's
// waiting messages (Cancel among them), then what ShowProgress held back, once
// it may be shown, so that a loop gone quiet never leaves a stale count on screen.
void TendProgressDialog(ProgressDialog* dialog, std::uint32_t now);

// Milliseconds until the next turn is due: a loop that waits waits no longer.
std::uint32_t UntilNextTurn(const ProgressDialog& dialog, std::uint32_t now);

// The bar at this position and, unless caption is null, this caption: at once
// the first time, when immediately is set, or when pace.refreshMs has passed
// since the last change; otherwise held back for a later turn.
void ShowProgress(ProgressDialog* dialog, std::uint32_t now, int position, const char* caption, bool immediately);

// A new range for the bar, 0..high.
void SetProgressRange(HWND window, int high);

// 0 ok, 1 part above 255, 2 more than four parts, 3 fewer than four parts,
// 4 shorter than 7 or longer than 15, 5 a character other than digit, '.', '*'.
int ParseDottedQuad(const char* text, std::uint32_t* result);

INT_PTR CALLBACK NoticeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfirmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SuccessDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
