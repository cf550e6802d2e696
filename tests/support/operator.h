// The scripted operator: a test-only front end of the POSIX dialog manager.
// It answers each dialog and message box as it opens, from a script written
// beforehand, and records what every dialog showed. Linked only into test
// programs (library zemtesting); the shipped program cannot reach it.
//
// Matching: each opening of dialog N takes the first unused script entry for
// N, in the order the entries were added; each message box takes the first
// unused box entry whose text filter it matches. A dialog without an entry is
// recorded as unexpected: a modal one is answered with IDCANCEL (as Escape
// would), a modeless one is left alone. A message box without an entry is
// recorded as unexpected and answered with IDOK (IDCANCEL if it has Cancel).
//
// Steps of a modal dialog run on the dialog's own thread inside its modal loop,
// one step whenever no message is waiting, so a pressed button's command (and
// any message box it opens) has been handled before the next step runs. When
// the steps of a modal dialog are used up and it is still open, the operator
// records it as stalled and presses IDCANCEL. Steps of a modeless dialog run
// on a helper thread of the operator, starting as soon as the dialog exists;
// buttons are posted to the dialog's thread, which handles them when it pumps.
//
// Waits are in the program's clock (tests/support/hooks.h PortSetClock: a wait
// of 1000 ms at rate 10 takes 100 real ms).
#pragma once

#include <string>
#include <vector>

#include "port/win32.h"

enum class OperatorAction {
  Type,    // control, text: the control's text becomes text
  Choose,  // control, index: the combo box selects entry index
  Press,   // control: the button's command (WM_COMMAND id) as a click gives it
  Enter,   // the Enter key: the focused push button, else the default button
  Escape,  // the Escape key: IDCANCEL
  Close,   // the caption's close box: IDCANCEL
  Wait,    // ms: pause (program clock)
  WaitProgress,  // control, index: wait until that progress bar's position >= index
  Answer,  // message boxes only: control is the button result (IDOK, IDCANCEL)
};

struct OperatorStep {
  OperatorAction action;
  int control;       // Type, Choose, Press, WaitProgress, Answer
  int index;         // Choose: entry; WaitProgress: position
  unsigned ms;       // Wait
  std::string text;  // Type
};

OperatorStep TypeText(int control, const char* text);
OperatorStep ChooseEntry(int control, int index);
OperatorStep PressButton(int control);
OperatorStep PressEnter();
OperatorStep PressEscape();
OperatorStep PressClose();
OperatorStep WaitMs(unsigned ms);
OperatorStep WaitProgress(int control, int position);
OperatorStep AnswerBox(int result);

// Installs the scripted operator as the dialog manager's front end and forgets
// every script entry and record. Call at the start of each test.
void OperatorReset();

// Script entries. A message box entry's steps may hold waits and one Answer
// (none: IDOK); textContains empty matches any box.
void OperatorExpectDialog(int templateId, std::vector<OperatorStep> steps);
void OperatorExpectMessageBox(std::vector<OperatorStep> steps = {}, const char* textContains = "");

// The text script format, one entry per line ('#' starts a comment line):
//   dialog 101: type 1000 "10.1.0.123"; choose 1017 1; press ok
//   dialog 105: wait 300; press cancel
//   dialog 104: type 1005 "secret"; enter
//   dialog 139: escape
//   box: ok
//   box "Invalid IP Address": wait 50; ok
// Steps: type ID TEXT | choose ID INDEX | press ID|ok|cancel | enter | escape |
// close | wait MS | waitprogress ID POS; for boxes: ok | cancel | answer N | wait MS.
// TEXT is a word or a double-quoted text with \" \\ \r \n \t escapes.
// Adds the entries; on a fault adds nothing and names the line in *error.
bool OperatorLoadScript(const char* text, std::string* error);
bool OperatorLoadScriptFile(const char* path, std::string* error);

// ---- what was recorded ---------------------------------------------------------
struct OperatorControlRecord {
  int id;
  const char* kind;  // "defpushbutton", "pushbutton", "edit", "combobox", "static", "icon", "ipaddress", "progress"
  std::string text;  // after WM_INITDIALOG (combo box: the selected entry)
  std::vector<std::string> entries;  // combo box entries
  int selection;                     // combo box selection, -1 none
};

inline constexpr std::size_t kOperatorProgressLimit = 4096;  // positions kept per dialog

struct OperatorDialogRecord {
  int sequence;  // order of openings and boxes, from 1
  int templateId;
  bool modal;
  DWORD thread;            // GetCurrentThreadId() of the owning thread
  std::string caption;     // after WM_INITDIALOG
  std::vector<std::string> captions;  // later caption changes, in order
  std::vector<OperatorControlRecord> controls;  // after WM_INITDIALOG, template order
  int focusId;             // control with the focus after WM_INITDIALOG; 0 the dialog, -1 none
  int defaultButtonId;     // the template's default push button, -1 none
  RECT rect;               // window rectangle after WM_INITDIALOG (virtual screen)
  bool hasProgress;
  int progressLow, progressHigh;       // latest range
  std::vector<int> progress;           // positions set after WM_INITDIALOG (first kOperatorProgressLimit)
  std::size_t progressCount;           // all positions set, including those not kept
  bool unexpected;   // no script entry matched
  bool stalled;      // a modal dialog outlived its steps
  bool closed;       // ended or destroyed
  long long result;  // modal: the DialogBoxParamA result; -1 while open
  std::vector<std::string> pressed;    // the operator's actions, as script words
};

struct OperatorBoxRecord {
  int sequence;
  std::string text;
  std::string caption;
  UINT style;
  DWORD thread;
  int ownerTemplateId;  // the owner dialog's template, 0 none
  int answer;
  bool unexpected;
};

std::vector<OperatorDialogRecord> OperatorDialogs();
std::vector<OperatorBoxRecord> OperatorMessageBoxes();
// The openings of one template, in order.
std::vector<OperatorDialogRecord> OperatorDialogsOf(int templateId);
// Script entries not used yet, as text ("dialog 104", "box \"...\"").
std::vector<std::string> OperatorUnusedEntries();

// Waits (real time) until count openings of the template have been recorded; false on timeout.
bool OperatorWaitForDialog(int templateId, int count, unsigned timeoutMs);

// The transcript: one JSON object per line, in sequence order, then an exit line:
//   {"type":"dialog","seq":1,"id":139,"modal":true,"thread":1,"caption":"...",
//    "captions":[...],"focus":2,"default":2,"rect":[l,t,r,b],
//    "controls":[{"id":1021,"kind":"edit","text":"..."},{"id":1017,"kind":"combobox",
//    "text":"..","entries":[..],"selection":0},...],
//    "progress":{"low":0,"high":100,"positions":[0,1,...],"count":N},   (progress bars only)
//    "unexpected":false,"stalled":false,"closed":true,"result":0,"actions":["press 2"]}
//   {"type":"box","seq":2,"text":"...","caption":"...","style":8192,"thread":1,
//    "owner":0,"answer":1,"unexpected":false}
//   {"type":"exit","status":2}            (only when written at the end of the process)
//   {"type":"unused","entry":"dialog 104"}  (script entries never used)
bool OperatorWriteTranscript(const char* path, int exitStatus = -1);
// Writes the transcript to path when the process ends (PortSetExitHook).
void OperatorTranscriptAtExit(const char* path);
