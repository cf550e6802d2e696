// Dialog procedures and window helpers.
#pragma once

#include <cstdint>

#include "common/platform.h"
#include "ui/ids.h"

// Moves the window to the centre of the primary screen, keeping its size; brings
// it to the top. A window whose rectangle cannot be read stays where it is.
void CenterWindow(HWND window);

// Takes the messages of one of this thread's dialogs: all that wait, or at most one.
void PumpDialogMessages(HWND dialog, bool all);

// 0 ok, 1 part above 255, 2 more than four parts, 3 fewer than four parts,
// 4 shorter than 7 or longer than 15, 5 a character other than digit, '.', '*'.
int ParseDottedQuad(const char* text, std::uint32_t* result);

INT_PTR CALLBACK NoticeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfirmDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SuccessDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
