// Between the POSIX dialog manager (port/dialogs.cpp) and its front ends: the
// terminal (port/terminal.cpp) and, in test programs, the scripted operator
// (tests/support/operator.cpp).
// The manager keeps the windows; a front end is told when a dialog opens,
// changes and closes, is asked for the operator's input while a modal dialog
// waits, and shows message boxes.
#pragma once

#include <string>
#include <vector>

#include "port/win32.h"
#include "resources/dialog_defs.h"

enum class PortEvent {
  Caption,        // text: the new caption
  ControlText,    // control, text
  ComboAdd,       // control, text: entry appended
  ComboSelect,    // control, value: the selection (-1 none)
  ProgressRange,  // control, value low, value2 high
  ProgressPos,    // control, value: the position the bar now holds
  Shown,          // ShowWindow made the dialog visible
  Hidden,
  Focus,          // control: the control that took the focus (0 the dialog)
};

struct PortChange {
  PortEvent event;
  int control;
  long value;
  long value2;
  const char* text;
};

struct PortFrontEnd {
  // After WM_INITDIALOG and the first focus, on the owning thread.
  void (*opened)(HWND dialog);
  // After a change once the dialog has opened, on the thread that made it.
  void (*changed)(HWND dialog, const PortChange& change);
  // The dialog ends (modal) or is destroyed; the handle is still valid during the call.
  void (*closed)(HWND dialog, INT_PTR result);
  // The modal loop of dialog found no message waiting: take the operator's
  // input (post commands, set texts) or wait a while. Owning thread. May be null.
  void (*modalIdle)(HWND dialog);
  // MessageBoxA, on the calling thread; answers IDOK, IDCANCEL...
  int (*messageBox)(HWND owner, const char* text, const char* caption, UINT type);
};

// nullptr: no operator; modal dialogs end as cancelled, boxes go to stderr.
void PortSetFrontEnd(const PortFrontEnd* frontEnd);

struct PortControlView {
  HWND handle;
  int id;
  ControlKind kind;
  unsigned flags;
  std::string text;
  std::vector<std::string> entries;
  int selection;
  int rangeLow, rangeHigh, position;
  RECT rect;  // screen coordinates
};

struct PortDialogView {
  HWND handle;
  int templateId;
  bool modal;
  bool visible;
  DWORD thread;
  std::string caption;
  std::vector<PortControlView> controls;  // template order
  int focusId;          // control id holding its thread's focus; 0 the dialog; -1 elsewhere
  int defaultButtonId;  // template's default push button, -1 none
  RECT rect;
};

// A copy of the dialog's state; false when dialog is not a live dialog.
bool PortViewDialog(HWND dialog, PortDialogView* view);

// Operator actions, from any thread: they post to the dialog's thread as the
// platform's input would. False when the dialog is gone.
BOOL PortPressButton(HWND dialog, int id);
BOOL PortPressKey(HWND dialog, int virtualKey);  // VK_RETURN, VK_ESCAPE to the focus
BOOL PortPressClose(HWND dialog);

// Runs as the process ends (ExitProcess), after the system's exiting call
// (port/system.h): a front end puts the terminal back as it found it.
using PortFrontEndExit = void (*)();
void PortSetFrontEndExit(PortFrontEndExit restore);

// The terminal front end on standard input and output (port/terminal.cpp).
void PortUseTerminal();
