// The POSIX dialog manager: modal loop, focus, keys, texts, control messages,
// queues of several threads, message boxes, destroyed windows, virtual screen.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/platform.h"
#include "port/frontend.h"
#include "tests/port/fixtures.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"

namespace {

// What the test procedure does on WM_INITDIALOG, and what it saw.
struct ProcPlan {
  int focusId = 0;          // SetFocus to this control first (0: none)
  INT_PTR initAnswer = TRUE;
  const char* text = nullptr;  // put into control 1021 when given
};
ProcPlan g_plan;
std::mutex g_seenLock;
std::vector<int> g_commands;
std::vector<DWORD> g_commandThreads;

INT_PTR CALLBACK ModalProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    if (g_plan.text != nullptr) SetDlgItemTextA(dialog, 1021, g_plan.text);
    if (g_plan.focusId != 0) SetFocus(GetDlgItem(dialog, g_plan.focusId));
    return g_plan.initAnswer;
  }
  if (message == WM_COMMAND) {
    std::lock_guard<std::mutex> hold(g_seenLock);
    g_commands.push_back(LOWORD(wParam));
  }
  return EndOnOkOrCancel(dialog, message, wParam) ? TRUE : FALSE;
}

// Modeless: Cancel destroys the dialog, as the product's progress dialogs do.
INT_PTR CALLBACK ModelessProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetPercentRange(dialog);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    {
      std::lock_guard<std::mutex> hold(g_seenLock);
      g_commands.push_back(IDCANCEL);
      g_commandThreads.push_back(GetCurrentThreadId());
    }
    DestroyWindow(dialog);
    return TRUE;
  }
  return FALSE;
}

class DialogManager : public ::testing::Test {
 protected:
  void SetUp() override {
    OperatorReset();
    g_plan = ProcPlan();
    std::lock_guard<std::mutex> hold(g_seenLock);
    g_commands.clear();
    g_commandThreads.clear();
  }
  void TearDown() override { PortSetScreenSize(1024, 768); }
  FixtureTemplates templates;
};

INT_PTR ShowModal(int id, DLGPROC procedure = ModalProc) {
  return DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(id), nullptr, procedure, 0);
}

HWND CreateModeless(int id, DLGPROC procedure = ModelessProc) {
  HWND dialog = CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(id), nullptr, procedure, 0);
  ShowWindow(dialog, SW_SHOWNORMAL);
  return dialog;
}

// Pumps the calling thread's messages of dialog until it is gone or the time is up.
void PumpUntilGone(HWND dialog, unsigned realMs) {
  for (unsigned waited = 0; IsWindow(dialog) && waited < realMs; ++waited) {
    MSG message;
    while (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct ModalCase {
  const char* name;
  int templateId;
  int focusId;
  INT_PTR initAnswer;
  std::vector<OperatorStep> steps;
  INT_PTR result;
  int command;  // the command the procedure received
};

TEST_F(DialogManager, ModalLoopEndsWithTheEndDialogValueOfEachWayOut) {
  const ModalCase cases[] = {
      {"Continue button", kNoticeLike, 2, FALSE, {PressButton(1)}, 1, IDOK},
      {"Cancel button", kNoticeLike, 2, FALSE, {PressButton(2)}, 0, IDCANCEL},
      {"Enter on notice = default Cancel", kNoticeLike, 0, FALSE, {PressEnter()}, 0, IDCANCEL},
      {"Enter with focus on a push button presses it", kNoticeLike, 1, FALSE, {PressEnter()}, 1, IDOK},
      {"Enter in the address field = default OK", kAddressLike, 1000, FALSE, {PressEnter()}, 1, IDOK},
      {"Escape", kAddressLike, 1000, FALSE, {PressEscape()}, 0, IDCANCEL},
      {"close box", kAddressLike, 1000, FALSE, {PressClose()}, 0, IDCANCEL},
      {"close box without a Cancel button", kNoTabStop, 0, TRUE, {PressClose()}, 0, IDCANCEL},
      {"Enter without a default button = IDOK", kNoTabStop, 0, TRUE, {PressEnter()}, 1, IDOK},
      {"a wait first", kNoticeLike, 2, FALSE, {WaitMs(30), PressButton(1)}, 1, IDOK},
  };
  for (const ModalCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    g_plan.focusId = c.focusId;
    g_plan.initAnswer = c.initAnswer;
    OperatorExpectDialog(c.templateId, c.steps);
    EXPECT_EQ(ShowModal(c.templateId), c.result);
    std::lock_guard<std::mutex> hold(g_seenLock);
    EXPECT_EQ(g_commands, std::vector<int>{c.command});
    std::vector<OperatorDialogRecord> records = OperatorDialogs();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].unexpected);
    EXPECT_FALSE(records[0].stalled);
    EXPECT_TRUE(records[0].closed);
    EXPECT_EQ(records[0].result, c.result);
  }
}

TEST_F(DialogManager, UnknownTemplateFailsAndUnexpectedDialogIsCancelled) {
  EXPECT_EQ(ShowModal(4242), -1);
  EXPECT_EQ(CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(4242), nullptr, ModelessProc, 0), nullptr);
  EXPECT_EQ(DialogBoxParamA(PortModuleHandle(), "named", nullptr, ModalProc, 0), -1);
  EXPECT_TRUE(OperatorDialogs().empty());

  EXPECT_EQ(ShowModal(kNoticeLike), 0);  // no script entry
  std::vector<OperatorDialogRecord> records = OperatorDialogs();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].unexpected);
}

TEST_F(DialogManager, ModalStepsRunOutThenCancel) {
  OperatorExpectDialog(kAddressLike, {TypeText(1000, "1.2.3.4")});
  EXPECT_EQ(ShowModal(kAddressLike), 0);
  std::vector<OperatorDialogRecord> records = OperatorDialogs();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].stalled);
  EXPECT_EQ(records[0].pressed, (std::vector<std::string>{"type 1000 \"1.2.3.4\"", "press 2"}));
}

struct FocusCase {
  const char* name;
  int templateId;
  int procFocus;
  INT_PTR initAnswer;
  int focusId;
};

TEST_F(DialogManager, FocusFollowsTheInitDialogAnswer) {
  const FocusCase cases[] = {
      {"nonzero: first tab stop", kNoticeLike, 0, TRUE, 1},
      {"nonzero overrides the procedure's focus", kNoticeLike, 2, TRUE, 1},
      {"zero keeps the procedure's focus", kNoticeLike, 2, FALSE, 2},
      {"zero keeps the address control", kAddressLike, 1000, FALSE, 1000},
      {"first tab stop of the password fixture", kCredentialsLike, 0, TRUE, 1},
      {"zero keeps the password field", kCredentialsLike, 1005, FALSE, 1005},
      {"no tab stop: no focus", kNoTabStop, 0, TRUE, -1},
  };
  for (const FocusCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    g_plan.focusId = c.procFocus;
    g_plan.initAnswer = c.initAnswer;
    OperatorExpectDialog(c.templateId, {PressEscape()});
    ShowModal(c.templateId);
    std::vector<OperatorDialogRecord> records = OperatorDialogs();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].focusId, c.focusId);
  }
}

TEST_F(DialogManager, FocusBelongsToTheCallingThread) {
  HWND dialog = CreateModeless(kAddressLike);
  ASSERT_NE(dialog, nullptr);
  HWND address = GetDlgItem(dialog, 1000);
  SetFocus(address);
  EXPECT_EQ(GetFocus(), address);
  EXPECT_EQ(GetDlgCtrlID(GetFocus()), 1000);
  EXPECT_EQ(SetFocus(GetDlgItem(dialog, 1)), address);  // answers the previous focus
  HWND otherThreadsFocus = reinterpret_cast<HWND>(1);
  std::thread([&] {
    otherThreadsFocus = GetFocus();
    EXPECT_EQ(SetFocus(address), nullptr);  // another thread's window
  }).join();
  EXPECT_EQ(otherThreadsFocus, nullptr);
  EXPECT_EQ(GetFocus(), GetDlgItem(dialog, 1));
  DestroyWindow(dialog);
  EXPECT_EQ(GetFocus(), nullptr);
}

TEST_F(DialogManager, TextsAreCopiedWithinTheCallersCapacity) {
  HWND dialog = CreateModeless(kAddressLike);
  ASSERT_TRUE(SetDlgItemTextA(dialog, 1000, "10.1.0.123"));
  char text[8];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(GetDlgItemTextA(dialog, 1000, text, 5), 4u);
  EXPECT_STREQ(text, "10.1");
  EXPECT_EQ(text[5], 'x');  // nothing written beyond the capacity
  EXPECT_EQ(GetDlgItemTextA(dialog, 1000, text, 1), 0u);
  EXPECT_STREQ(text, "");
  text[0] = 'x';
  EXPECT_EQ(GetDlgItemTextA(dialog, 1000, text, 0), 0u);
  EXPECT_EQ(text[0], 'x');
  char whole[64];
  EXPECT_EQ(GetDlgItemTextA(dialog, 1000, whole, sizeof whole), 10u);
  EXPECT_STREQ(whole, "10.1.0.123");

  // Template texts, the caption and a control without text.
  EXPECT_EQ(GetWindowTextA(dialog, whole, sizeof whole), 15);
  EXPECT_STREQ(whole, "Address Fixture");
  ASSERT_TRUE(SetWindowTextA(dialog, "New Caption"));
  GetWindowTextA(dialog, whole, sizeof whole);
  EXPECT_STREQ(whole, "New Caption");
  GetDlgItemTextA(dialog, 2, whole, sizeof whole);
  EXPECT_STREQ(whole, "Cancel");
  EXPECT_EQ(GetDlgItemTextA(dialog, 1007, whole, sizeof whole), 0u);
  EXPECT_EQ(GetDlgItemTextA(dialog, 5555, whole, sizeof whole), 0u);  // no such control
  EXPECT_FALSE(SetDlgItemTextA(dialog, 5555, "x"));

  // Multi-line texts keep their CR LF byte for byte.
  SetDlgItemTextA(dialog, 1007, "one\r\ntwo\r\n");
  GetDlgItemTextA(dialog, 1007, whole, sizeof whole);
  EXPECT_STREQ(whole, "one\r\ntwo\r\n");
  DestroyWindow(dialog);
}

TEST_F(DialogManager, ComboBoxMessages) {
  HWND dialog = CreateModeless(kAddressLike);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_SETCURSEL, 0, 0), CB_ERR);  // empty list
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("10.77.0.1")), 0);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("192.168.1.2")), 1);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("1.1.1.1")), 2);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETCOUNT, 0, 0), 3);  // not sorted: order kept
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_SETCURSEL, 1, 0), 1);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETCURSEL, 0, 0), 1);
  char text[32];
  GetDlgItemTextA(dialog, 1017, text, sizeof text);
  EXPECT_STREQ(text, "192.168.1.2");
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETLBTEXTLEN, 2, 0), 7);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(text)), 7);
  EXPECT_STREQ(text, "1.1.1.1");
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(text)), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_SETCURSEL, 3, 0), CB_ERR);  // out of range: no selection
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
  DestroyWindow(dialog);
}

TEST_F(DialogManager, ProgressBarMessagesAndRecord) {
  OperatorExpectDialog(kProgressLike, {});
  HWND dialog = CreateModeless(kProgressLike);  // its procedure sets 0..100
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1010, PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, 40, 0), 0);  // answers the previous position
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, 150, 0), 40);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1010, PBM_GETPOS, 0, 0), 100);  // held within the range
  LRESULT previous = SendDlgItemMessageA(dialog, 1010, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
  EXPECT_EQ(LOWORD(previous), 0);
  EXPECT_EQ(HIWORD(previous), 100);
  SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, 999, 0);
  SendDlgItemMessageA(dialog, 1010, PBM_SETRANGE, 0, MAKELPARAM(0, 1562));
  SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, 0, 0);
  SetWindowTextA(dialog, "Second Caption");
  SetWindowTextA(dialog, "Third Caption");
  DestroyWindow(dialog);

  std::vector<OperatorDialogRecord> records = OperatorDialogs();
  ASSERT_EQ(records.size(), 1u);
  const OperatorDialogRecord& record = records[0];
  EXPECT_FALSE(record.modal);
  EXPECT_TRUE(record.hasProgress);
  EXPECT_EQ(record.progressLow, 0);
  EXPECT_EQ(record.progressHigh, 1562);
  EXPECT_EQ(record.progress, (std::vector<int>{40, 100, 999, 0}));
  EXPECT_EQ(record.progressCount, 4u);
  EXPECT_EQ(record.caption, "Progress Fixture");
  EXPECT_EQ(record.captions, (std::vector<std::string>{"Second Caption", "Third Caption"}));
  EXPECT_TRUE(record.closed);
  EXPECT_EQ(record.thread, GetCurrentThreadId());
}

TEST_F(DialogManager, ProgressPositionsAreKeptUpToTheLimit) {
  OperatorExpectDialog(kProgressLike, {});
  HWND dialog = CreateModeless(kProgressLike);
  const std::size_t total = kOperatorProgressLimit + 10;
  for (std::size_t i = 0; i < total; ++i) SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, i % 101, 0);
  DestroyWindow(dialog);
  OperatorDialogRecord record = OperatorDialogs().at(0);
  EXPECT_EQ(record.progress.size(), kOperatorProgressLimit);
  EXPECT_EQ(record.progressCount, total);
  EXPECT_EQ(record.progress[101], 0);  // wrapped after 100
}

TEST_F(DialogManager, DestroyedWindowsFailSafely) {
  HWND dialog = CreateModeless(kAddressLike);
  HWND control = GetDlgItem(dialog, 1000);
  ASSERT_TRUE(IsWindow(dialog));
  ASSERT_TRUE(IsWindow(control));
  ASSERT_TRUE(PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0));
  ASSERT_TRUE(DestroyWindow(dialog));

  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_FALSE(IsWindow(control));
  EXPECT_FALSE(DestroyWindow(dialog));
  EXPECT_FALSE(DestroyWindow(control));
  EXPECT_FALSE(ShowWindow(dialog, SW_SHOW));
  EXPECT_FALSE(EndDialog(dialog, 1));
  EXPECT_FALSE(SetWindowTextA(dialog, "x"));
  EXPECT_FALSE(SetDlgItemTextA(dialog, 1000, "x"));
  char text[16] = "untouched";
  EXPECT_EQ(GetWindowTextA(control, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(GetDlgItem(dialog, 1000), nullptr);
  EXPECT_EQ(GetDlgCtrlID(control), 0);
  EXPECT_EQ(SendMessageA(control, CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x")), 0);
  EXPECT_FALSE(PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0));
  EXPECT_EQ(SetFocus(control), nullptr);
  RECT rect{1, 2, 3, 4};
  EXPECT_FALSE(GetWindowRect(dialog, &rect));
  EXPECT_FALSE(SetWindowPos(dialog, nullptr, 0, 0, 0, 0, SWP_NOSIZE));
  MSG message;
  EXPECT_FALSE(PeekMessageA(&message, dialog, 0, 0, PM_REMOVE));
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));  // its queued command went with it
  message.hwnd = dialog;
  message.message = WM_COMMAND;
  message.wParam = IDCANCEL;
  EXPECT_EQ(DispatchMessageA(&message), 0);
  std::lock_guard<std::mutex> hold(g_seenLock);
  EXPECT_TRUE(g_commands.empty());
}

TEST_F(DialogManager, CancelThatDestroysTheDialogDuringItsOwnDispatch) {
  OperatorExpectDialog(kProgressLike, {WaitMs(10), PressButton(IDCANCEL)});
  HWND dialog = CreateModeless(kProgressLike);
  PumpUntilGone(dialog, 5000);
  EXPECT_FALSE(IsWindow(dialog));
  std::lock_guard<std::mutex> hold(g_seenLock);
  EXPECT_EQ(g_commands, std::vector<int>{IDCANCEL});
}

// What CenterWindow does: the ui code's own, written here from its description.
void CenterLikeTheProduct(HWND window) {
  RECT rect;
  if (!GetWindowRect(window, &rect)) return;
  int width = GetSystemMetrics(SM_CXSCREEN);
  int height = GetSystemMetrics(SM_CYSCREEN);
  int left = (width - (rect.right - rect.left)) >> 1;
  int top = (height - (rect.bottom - rect.top)) >> 1;
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE);
}

TEST_F(DialogManager, VirtualScreenWindowRectangles) {
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
  PortSetScreenSize(800, 600);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 600);

  HWND dialog = CreateModeless(kAddressLike);
  RECT rect;
  ASSERT_TRUE(GetWindowRect(dialog, &rect));
  // 158 x 181 dialog units in 8-point MS Sans Serif, plus frame and caption.
  EXPECT_EQ(rect.right - rect.left, 158 * 6 / 4 + 6);
  EXPECT_EQ(rect.bottom - rect.top, 181 * 13 / 8 + 6 + 19);
  CenterLikeTheProduct(dialog);
  RECT centred;
  ASSERT_TRUE(GetWindowRect(dialog, &centred));
  EXPECT_EQ(centred.left, (800 - 243) >> 1);
  EXPECT_EQ(centred.top, (600 - (rect.bottom - rect.top)) >> 1);
  EXPECT_EQ(centred.right - centred.left, 243);

  // A window wider than the screen gets a negative left edge.
  ASSERT_TRUE(SetWindowPos(dialog, nullptr, 5, 5, 805, 300, SWP_NOMOVE));
  ASSERT_TRUE(GetWindowRect(dialog, &rect));
  EXPECT_EQ(rect.right - rect.left, 805);
  CenterLikeTheProduct(dialog);
  ASSERT_TRUE(GetWindowRect(dialog, &rect));
  EXPECT_EQ(rect.left, -3);
  EXPECT_EQ(rect.top, 150);

  // Controls move with their dialog.
  RECT control;
  ASSERT_TRUE(GetWindowRect(GetDlgItem(dialog, 1000), &control));
  EXPECT_EQ(control.left, rect.left + 3 + 26 * 6 / 4);
  EXPECT_EQ(control.right - control.left, (26 + 103) * 6 / 4 - 26 * 6 / 4);

  DestroyWindow(dialog);
  CenterLikeTheProduct(dialog);  // the rectangle cannot be read: nothing happens
  EXPECT_FALSE(GetWindowRect(dialog, &rect));
}

TEST_F(DialogManager, ModelessDialogsOfTwoThreadsEachPumpTheirOwnQueue) {
  OperatorExpectDialog(kProgressLike, {WaitMs(30), PressButton(IDCANCEL)});
  OperatorExpectDialog(kProgressLike, {WaitMs(30), PressButton(IDCANCEL)});
  std::atomic<HWND> first{nullptr};
  std::atomic<bool> foreignSeen{false};
  DWORD threads[2] = {0, 0};
  auto run = [&](int which) {
    threads[which] = GetCurrentThreadId();
    HWND dialog = CreateModeless(kProgressLike);
    if (which == 0) first.store(dialog);
    for (int pass = 0; IsWindow(dialog) && pass < 5000; ++pass) {
      MSG message;
      if (which == 1 && first.load() != nullptr && PeekMessageA(&message, first.load(), 0, 0, PM_NOREMOVE)) {
        foreignSeen.store(true);  // another thread's messages are never ours
      }
      if (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
      }
      SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, pass % 101, 0);
      Sleep(1);
    }
  };
  std::thread a(run, 0);
  std::thread b(run, 1);
  a.join();
  b.join();
  EXPECT_FALSE(foreignSeen.load());
  std::vector<OperatorDialogRecord> records = OperatorDialogsOf(kProgressLike);
  ASSERT_EQ(records.size(), 2u);
  for (const OperatorDialogRecord& record : records) {
    EXPECT_TRUE(record.closed);
    EXPECT_FALSE(record.unexpected);
    EXPECT_GT(record.progressCount, 0u);
  }
  EXPECT_NE(records[0].thread, records[1].thread);
  std::lock_guard<std::mutex> hold(g_seenLock);
  ASSERT_EQ(g_commandThreads.size(), 2u);
  // Each Cancel was handled by the thread that created its dialog.
  EXPECT_TRUE((g_commandThreads[0] == threads[0] && g_commandThreads[1] == threads[1]) ||
              (g_commandThreads[0] == threads[1] && g_commandThreads[1] == threads[0]));
}

TEST_F(DialogManager, MessageBoxFromAWorkerBlocksOnlyThatThread) {
  std::atomic<bool> boxReturned{false};
  std::atomic<bool> cancelWhileBoxOpen{false};
  OperatorExpectMessageBox({WaitMs(1000), AnswerBox(IDOK)}, "worker");
  OperatorExpectDialog(kProgressLike, {WaitMs(20), PressButton(IDCANCEL)});
  int answer = 0;
  DWORD workerThread = 0;
  std::thread worker([&] {
    workerThread = GetCurrentThreadId();
    answer = MessageBoxA(nullptr, "from the worker", "Worker Box", MB_TASKMODAL);
    boxReturned.store(true);
  });
  while (OperatorMessageBoxes().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  HWND dialog = CreateModeless(kProgressLike);
  PumpUntilGone(dialog, 5000);
  cancelWhileBoxOpen.store(!boxReturned.load());
  worker.join();
  EXPECT_TRUE(cancelWhileBoxOpen.load());
  EXPECT_EQ(answer, IDOK);
  std::vector<OperatorBoxRecord> boxes = OperatorMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "from the worker");
  EXPECT_EQ(boxes[0].caption, "Worker Box");
  EXPECT_EQ(boxes[0].style, MB_TASKMODAL);
  EXPECT_EQ(boxes[0].thread, workerThread);
  EXPECT_FALSE(boxes[0].unexpected);
}

TEST_F(DialogManager, MessageBoxAnswersAndTheirRecord) {
  OperatorExpectMessageBox({AnswerBox(IDCANCEL)}, "second");
  OperatorExpectMessageBox();
  EXPECT_EQ(MessageBoxA(nullptr, "first text", "One", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "the second text", nullptr, MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "unexpected", "Three", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "unexpected", "Four", MB_OK), IDOK);
  std::vector<OperatorBoxRecord> boxes = OperatorMessageBoxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[1].caption, "Error");  // no caption given
  EXPECT_FALSE(boxes[0].unexpected);
  EXPECT_FALSE(boxes[1].unexpected);
  EXPECT_TRUE(boxes[2].unexpected);
  EXPECT_TRUE(boxes[3].unexpected);
  EXPECT_EQ(boxes[3].sequence, 4);
}

// The product's address dialog refuses a text with a box owned by the dialog and keeps it open.
INT_PTR CALLBACK RefusingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetFocus(GetDlgItem(dialog, 1000));
    return FALSE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    char text[63];
    GetDlgItemTextA(dialog, 1000, text, sizeof text);
    if (std::strcmp(text, "10.1.0.123") != 0) {
      MessageBoxA(dialog, "Invalid IP Address", "Error", MB_OK);
      SetFocus(GetDlgItem(dialog, 1000));
      return TRUE;
    }
  }
  return EndOnOkOrCancel(dialog, message, wParam) ? TRUE : FALSE;
}

TEST_F(DialogManager, StepsAfterARefusalWaitForTheBoxToBeAnswered) {
  OperatorExpectDialog(kAddressLike, {TypeText(1000, "1.2.3"), PressButton(IDOK), TypeText(1000, "10.1.0.123"),
                                      ChooseEntry(1017, 0), PressEnter()});
  OperatorExpectMessageBox({}, "Invalid");
  EXPECT_EQ(ShowModal(kAddressLike, RefusingProc), 1);
  std::vector<OperatorBoxRecord> boxes = OperatorMessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].ownerTemplateId, kAddressLike);
  EXPECT_EQ(boxes[0].sequence, 2);  // after the dialog's opening
  EXPECT_TRUE(OperatorUnusedEntries().empty());
}

}  // namespace
