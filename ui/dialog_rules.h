// Helpers for the rules that every dialog procedure of ui/ follows.
#pragma once

#include "common/platform.h"

// Command 1 ends the modal dialog with 1, command 2 with 0, both answering
// nonzero; any other command is left unhandled (zero).
INT_PTR EndOnOkOrCancel(HWND dialog, WPARAM wParam);
