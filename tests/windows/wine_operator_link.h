// What wine_operator and its hook library inside zemupgrade.exe agree on.
#pragma once

// The operator's message-only window; its title is the id of the watched process.
inline constexpr char kLinkWindowClass[] = "ZemWineOperatorLink";
inline constexpr char kLinkHookLibrary[] = "wine_operator_hook.dll";
inline constexpr char kLinkHookProc[] = "OperatorCallWndProc";
inline constexpr unsigned kLinkTimeoutMs = 2000;

// WM_COPYDATA's dwData; wParam is the window, the data its new caption (or empty).
enum LinkEvent : unsigned { kLinkCaption = 1, kLinkShown = 2, kLinkDestroyed = 3 };
