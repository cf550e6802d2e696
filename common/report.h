// Operator-facing failure reports and the ends of the process.
#pragma once

// Exit statuses of the process.
enum ExitStatus : int {
  kExitUpgraded = 0,   // the upgrade reached the success dialog
  kExitFailed = 1,     // any failure: every "Upgrade Failed: ..." but the operator's abort
  kExitCancelled = 2,  // the operator stopped the upgrade (Cancel on any dialog)
};

// The title of every error box unless a caller names another.
inline constexpr const char kDefaultErrorTitle[] = "ZEM Firwmare Upgrade Error";
inline constexpr const char kUserAbortMessage[] = "Upgrade Failed: User Abort";

// Shows the message in a task-modal box with one OK button and no icon, owned
// by no window. Blocks only the calling thread; callable from any thread.
void ReportError(const char* message, const char* title = nullptr);

// Ends the whole process from whichever thread calls it.
[[noreturn]] void EndProcess(int status);

// ReportError with the default title, then the end of the process with kExitFailed.
[[noreturn]] void FatalFailure(const char* message);

// "Upgrade Failed: User Abort", then the end of the process with kExitCancelled.
[[noreturn]] void UserAbort();
