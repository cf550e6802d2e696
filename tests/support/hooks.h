// Controls that test programs have over the POSIX platform, to reach situations
// the real system rarely offers. The first call installs the test system
// (port/system.h): the real one, with these controls on top. Linked only into
// test programs (library zemtesting); the shipped program has none of them.
#pragma once

#include <cstdint>

#include "port/system.h"

// From now on timeGetTime() answers offsetMs + rate * (real milliseconds since
// this call), wrapping at 2^32, and Sleep(n) sleeps n / rate real milliseconds.
// PortSetClock(0, 1) runs the clock at real speed from 0.
void PortSetClock(std::uint32_t offsetMs, unsigned rate);

// Makes CreateThread fail (answer null) while set, as when the system has no room for a thread.
void PortFailThreadCreation(bool fail);

// Makes WSAStartup fail while set, as when the socket library cannot start.
void PortFailSocketStartup(bool fail);

// Runs first when the process ends (ExitProcess), on the exiting thread, with
// the exit status: a test writes what it recorded. nullptr: none.
using PortExitHook = void (*)(unsigned status);
void PortSetExitHook(PortExitHook hook);

// The virtual screen (GetSystemMetrics, CenterWindow); the real system's 1024 x 768 until set.
void PortSetScreenSize(int width, int height);

// Where the dialog manager finds its templates; nullptr restores the product's
// own table. Lets a test build dialogs from small fixtures of its own.
using PortDialogSource = const DialogDef* (*)(int templateId);
void PortSetDialogSource(PortDialogSource source);
