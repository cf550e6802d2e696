// Small dialog templates of our own for the dialog manager's tests, shaped
// like the product's notice, address and progress dialogs.
#pragma once

#include "common/platform.h"
#include "resources/dialog_defs.h"
#include "tests/support/hooks.h"

enum FixtureId : int {
  kNoticeLike = 901,    // Continue (1), default Cancel (2), read-only text 1021
  kAddressLike = 902,   // default OK, Cancel, text 1007, combo 1017, label, address 1000
  kProgressLike = 903,  // Cancel (2), progress bar 1010
  kNoTabStop = 904,     // one read-only text, no tab stop, no button
  kCredentialsLike = 905,  // default OK, Cancel, user 1003, password 1005, labels
};

const DialogDef* FixtureDialog(int id);

// The product's rule for modal dialogs: command 1 ends with 1, command 2 with 0.
// True when the message was such a command.
bool EndOnOkOrCancel(HWND dialog, UINT message, WPARAM wParam);

// A progress fixture's start: the bar's range 0 to 100.
void SetPercentRange(HWND dialog);

// Uses the fixtures as the dialog manager's templates while in scope.
struct FixtureTemplates {
  FixtureTemplates() { PortSetDialogSource(FixtureDialog); }
  ~FixtureTemplates() { PortSetDialogSource(nullptr); }
};
