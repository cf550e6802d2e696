// The terminal front end, driven through a pseudo-terminal of 80 x 24 as a
// person would drive it: each case runs in a child process on the pty's slave.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/platform.h"
#include "port/frontend.h"
#include "tests/port/fixtures.h"

namespace {

const char kWarning[] = "WARNING: first line of the notice\r\nsecond line\r\n\r\nlast line.";

char g_address[64];
char g_user[127];
char g_password[127];
int g_selection = -2;

int TemplateOf(HWND dialog) {
  PortDialogView view;
  return PortViewDialog(dialog, &view) ? view.templateId : 0;
}

// Ends on 1 and 2 like the product's dialogs; on OK it keeps what the fields hold.
INT_PTR CALLBACK WizardLikeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    switch (TemplateOf(dialog)) {
      case kNoticeLike:
        SetWindowTextA(dialog, "ZEM-4200 Firmware Upgrade");
        SetDlgItemTextA(dialog, 1021, kWarning);
        SetFocus(GetDlgItem(dialog, IDCANCEL));
        return FALSE;
      case kAddressLike:
        SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("10.77.0.1"));
        SendDlgItemMessageA(dialog, 1017, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("192.168.5.9"));
        SendDlgItemMessageA(dialog, 1017, CB_SETCURSEL, 0, 0);
        SetDlgItemTextA(dialog, 1007, "This program will upgrade your ZEM\r\nfirmware to:");
        SetFocus(GetDlgItem(dialog, 1000));
        return FALSE;
      case kCredentialsLike:
        SetDlgItemTextA(dialog, 1007, "Password needed.");
        SetDlgItemTextA(dialog, 1003, "admin");
        SetFocus(GetDlgItem(dialog, 1005));
        return FALSE;
      default:
        return TRUE;
    }
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    GetDlgItemTextA(dialog, 1000, g_address, sizeof g_address);
    GetDlgItemTextA(dialog, 1003, g_user, sizeof g_user);
    GetDlgItemTextA(dialog, 1005, g_password, sizeof g_password);
    g_selection = static_cast<int>(SendDlgItemMessageA(dialog, 1017, CB_GETCURSEL, 0, 0));
  }
  return EndOnOkOrCancel(dialog, message, wParam) ? TRUE : FALSE;
}

// Like the product's progress dialogs: Cancel reports the abort and ends the process.
INT_PTR CALLBACK AbortingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetPercentRange(dialog);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    char caption[64];
    GetWindowTextA(dialog, caption, sizeof caption);
    DestroyWindow(dialog);
    MessageBoxA(nullptr, caption, "Cancelled", MB_TASKMODAL);
    ExitProcess(2);
  }
  return FALSE;
}

[[noreturn]] void PumpForever(HWND dialog) {
  for (int pass = 0;; ++pass) {
    MSG message;
    if (PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    SendDlgItemMessageA(dialog, 1010, PBM_SETPOS, (pass / 10) % 101, 0);
    Sleep(1);
  }
}

HWND ShowModeless(const char* caption) {
  HWND dialog = CreateDialogParamA(PortModuleHandle(), MAKEINTRESOURCEA(kProgressLike), nullptr, AbortingProc, 0);
  SetWindowTextA(dialog, caption);
  ShowWindow(dialog, SW_SHOWNORMAL);
  return dialog;
}

struct Child {
  pid_t pid = -1;
  int terminal = -1;
  std::string screen;  // everything the child wrote so far
};

Child Start(int (*body)()) {
  Child child;
  winsize size{24, 80, 0, 0};
  child.pid = forkpty(&child.terminal, nullptr, nullptr, &size);
  if (child.pid == 0) {
    PortSetDialogSource(FixtureDialog);
    PortUseTerminal();
    ExitProcess(static_cast<UINT>(body()));
  }
  return child;
}

// Reads the child's output until text appears after position from; false after 10 s.
bool WaitFor(Child& child, const std::string& text, std::size_t from = 0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (child.screen.find(text, from) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{child.terminal, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) continue;
    char chunk[1024];
    ssize_t n = read(child.terminal, chunk, sizeof chunk);
    if (n <= 0) return child.screen.find(text, from) != std::string::npos;
    child.screen.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

void Type(Child& child, const std::string& keys) {
  ASSERT_EQ(write(child.terminal, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

int Finish(Child& child) {
  WaitFor(child, "\x01never\x01");  // drain until the child closes its side, at most 10 s
  int status = 0;
  pid_t ended = 0;
  for (int waited = 0; waited < 5000 && ended == 0; ++waited) {
    ended = waitpid(child.pid, &status, WNOHANG);
    if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (ended != child.pid) {
    kill(child.pid, SIGKILL);
    waitpid(child.pid, &status, 0);
    ADD_FAILURE() << "the child did not end:\n" << child.screen;
  }
  close(child.terminal);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ShowNotice() {
  return static_cast<int>(
      DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(kNoticeLike), nullptr, WizardLikeProc, 0));
}

struct NoticeCase {
  const char* name;
  const char* keys;
  int result;
};

TEST(Terminal, NoticeShowsItsTextsAndEnterIsItsDefaultCancel) {
  const NoticeCase cases[] = {
      {"Enter: the default button, Cancel", "\n", 0},
      {"the first button by number", "1\n", 1},
      {"a button by name", "continue\n", 1},
      {"escape", "esc\n", 0},
      {"end of input", "\x04", 0},
  };
  for (const NoticeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Child child = Start(ShowNotice);
    ASSERT_TRUE(WaitFor(child, "Enter = Cancel")) << child.screen;
    EXPECT_NE(child.screen.find("== ZEM-4200 Firmware Upgrade =="), std::string::npos) << child.screen;
    // The text's own line breaks, the empty line included.
    EXPECT_NE(child.screen.find("WARNING: first line of the notice\r\nsecond line\r\n\r\nlast line."),
              std::string::npos)
        << child.screen;
    EXPECT_NE(child.screen.find("1) Continue  2) Cancel (Enter)"), std::string::npos) << child.screen;
    Type(child, c.keys);
    EXPECT_EQ(Finish(child), c.result);
  }
}

TEST(Terminal, UnknownAnswersAskAgain) {
  Child child = Start(ShowNotice);
  ASSERT_TRUE(WaitFor(child, "Enter = Cancel"));
  std::size_t asked = child.screen.size();
  Type(child, "7\n");
  ASSERT_TRUE(WaitFor(child, "Enter = Cancel", asked));
  Type(child, "2\n");
  EXPECT_EQ(Finish(child), 0);
}

int ShowAddress() {
  INT_PTR result = DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(kAddressLike), nullptr, WizardLikeProc, 0);
  std::printf("RESULT %d address=%s selection=%d\n", static_cast<int>(result), g_address, g_selection);
  return 0;
}

TEST(Terminal, AddressDialogTakesTheAddressAndTheChoiceOfThePCsAddress) {
  Child child = Start(ShowAddress);
  ASSERT_TRUE(WaitFor(child, "IP address: ")) << child.screen;
  EXPECT_NE(child.screen.find("This program will upgrade your ZEM\r\nfirmware to:"), std::string::npos);
  Type(child, "10.1.0.123\n");
  ASSERT_TRUE(WaitFor(child, "Choose 1-2 [1]: ")) << child.screen;
  EXPECT_NE(child.screen.find("Your IP Address:\r\n  1) 10.77.0.1\r\n  2) 192.168.5.9"), std::string::npos)
      << child.screen;
  Type(child, "2\n");
  ASSERT_TRUE(WaitFor(child, "Enter = OK")) << child.screen;
  Type(child, "\n");
  ASSERT_TRUE(WaitFor(child, "RESULT 1 address=10.1.0.123 selection=1")) << child.screen;
  EXPECT_EQ(Finish(child), 0);
}

int ShowCredentials() {
  INT_PTR result =
      DialogBoxParamA(PortModuleHandle(), MAKEINTRESOURCEA(kCredentialsLike), nullptr, WizardLikeProc, 0);
  std::printf("RESULT %d user=%s password=%s.\n", static_cast<int>(result), g_user, g_password);
  return 0;
}

TEST(Terminal, PasswordIsNotEchoedAndEnterKeepsTheUserName) {
  Child child = Start(ShowCredentials);
  ASSERT_TRUE(WaitFor(child, "User [admin]: ")) << child.screen;
  Type(child, "\n");
  ASSERT_TRUE(WaitFor(child, "Password (not shown while typed): ")) << child.screen;
  std::size_t typed = child.screen.size();
  Type(child, "s3cret\n");
  ASSERT_TRUE(WaitFor(child, "Enter = OK")) << child.screen;
  EXPECT_EQ(child.screen.find("s3cret", typed), std::string::npos) << child.screen;
  Type(child, "\n");
  ASSERT_TRUE(WaitFor(child, "RESULT 1 user=admin password=s3cret.")) << child.screen;
  EXPECT_EQ(Finish(child), 0);
  // Echo is back on for what comes next: the terminal was left as found.
}

int BoxFromWorkerWhileModelessIsUp() {
  HWND dialog = ShowModeless("Connecting with ZEM@10.1.0.123");
  std::thread([] {
    Sleep(200);
    int answer = MessageBoxA(nullptr, "Upgrade Failed: No Response From ZEM", "ZEM Firwmare Upgrade Error",
                             MB_TASKMODAL);
    std::printf("BOX %d\n", answer);
    std::fflush(stdout);
    Sleep(100);
    ExitProcess(1);
  }).detach();
  PumpForever(dialog);
}

TEST(Terminal, MessageBoxWaitsForEnterWhileAProgressLineIsUp) {
  Child child = Start(BoxFromWorkerWhileModelessIsUp);
  ASSERT_TRUE(WaitFor(child, "(type c then Enter to cancel)")) << child.screen;
  EXPECT_NE(child.screen.find("c1 Connecting with ZEM@10.1.0.123 ["), std::string::npos) << child.screen;
  ASSERT_TRUE(WaitFor(child, "Press Enter for OK: ")) << child.screen;
  EXPECT_NE(child.screen.find("-- ZEM Firwmare Upgrade Error --\r\nUpgrade Failed: No Response From ZEM\r\n"),
            std::string::npos)
      << child.screen;
  Type(child, "\n");
  ASSERT_TRUE(WaitFor(child, "BOX 1")) << child.screen;
  EXPECT_EQ(Finish(child), 1);
}

int TwoThreadsTwoProgressLines() {
  HWND waiting = ShowModeless("Waiting For Firmware Upload Request From ZEM");
  std::thread([] { PumpForever(ShowModeless("Connecting with ZEM@10.1.0.123")); }).detach();
  PumpForever(waiting);
}

TEST(Terminal, TwoProgressLinesOfTwoThreadsEachKeepTheirCancel) {
  Child child = Start(TwoThreadsTwoProgressLines);
  ASSERT_TRUE(WaitFor(child, "(type c1 or c2 then Enter to cancel that one)")) << child.screen;
  EXPECT_NE(child.screen.find("c1 Waiting For Firmware Upload Request From ZEM ["), std::string::npos);
  EXPECT_NE(child.screen.find("c2 Connecting with ZEM@10.1.0.123 ["), std::string::npos);
  Type(child, "c2\n");
  ASSERT_TRUE(WaitFor(child, "-- Cancelled --\r\nConnecting with ZEM@10.1.0.123")) << child.screen;
  // An Enter typed while only the progress line is up is dropped: answer the prompt itself.
  std::size_t box = child.screen.find("-- Cancelled --");
  ASSERT_TRUE(WaitFor(child, "Press Enter for OK: ", box)) << child.screen;
  Type(child, "\n");
  EXPECT_EQ(Finish(child), 2);
}

// Without a terminal: answers come line by line from a pipe, and its end is Cancel.
struct PipedCase {
  const char* name;
  int (*body)();
  const char* input;
  const char* expected;
};

int ShowNoticeAndSay() {
  std::printf("RESULT %d\n", ShowNotice());
  return 0;
}

TEST(Terminal, PipedInputIsReadLineByLine) {
  const PipedCase cases[] = {
      {"address, choice and OK typed ahead", ShowAddress, "10.1.0.123\n2\n\n", "RESULT 1 address=10.1.0.123 selection=1"},
      {"Continue", ShowNoticeAndSay, "1\n", "RESULT 1"},
      {"end of input at once", ShowNoticeAndSay, "", "RESULT 0"},
      {"end of input in the middle", ShowAddress, "10.1.0.123\n", "RESULT 0 address= selection=-2"},
  };
  for (const PipedCase& c : cases) {
    SCOPED_TRACE(c.name);
    int input[2], output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(input[0], STDIN_FILENO);
      dup2(output[1], STDOUT_FILENO);
      close(input[1]);
      close(output[0]);
      PortSetDialogSource(FixtureDialog);
      PortUseTerminal();
      ExitProcess(static_cast<UINT>(c.body()));
    }
    close(input[0]);
    close(output[1]);
    ASSERT_EQ(write(input[1], c.input, std::strlen(c.input)), static_cast<ssize_t>(std::strlen(c.input)));
    close(input[1]);
    Child child;
    child.pid = pid;
    child.terminal = output[0];
    ASSERT_TRUE(WaitFor(child, c.expected)) << child.screen;
    EXPECT_EQ(child.screen.find('\033'), std::string::npos);  // no cursor movement without a terminal
    EXPECT_EQ(Finish(child), 0);
  }
}

}  // namespace
