// Dialog procedures and window helpers.
#pragma once

#include <cstdint>

#include "common/platform.h"

// Dialog and control identifiers.
enum DialogId : int {
  kAddressDialog = 101,
  kConfirmDialog = 103,
  kPasswordDialog = 104,
  kConnectingDialog = 105,
  kTransferDialog = 110,
  kSuccessDialog = 111,
  kWaitingDialog = 114,
  kNoticeDialog = 139,
};
inline constexpr int kIconId = 106;
inline constexpr int kProgressControl = 1010;

void CenterWindow(HWND window);

// 0 ok, 1 part above 255, 2 more than four parts, 3 fewer than four parts,
// 4 shorter than 7 or longer than 15, 5 a character other than digit, '.', '*'.
int ParseDottedQuad(const char* text, std::uint32_t* result);

INT_PTR CALLBACK NoticeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfirmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SuccessDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
