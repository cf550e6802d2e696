// Test-only controls of port/. Nothing in the shipped program calls these; they
// exist so that test programs can reach situations the real platform rarely offers.
#pragma once

#include <cstdint>

// timeGetTime() answers offset + rate * (real milliseconds since start), wrapping at 2^32,
// and Sleep(n) sleeps n / rate real milliseconds. Rate 1 and offset 0 are the real clock.
void PortSetClock(std::uint32_t offsetMs, unsigned rate);
unsigned PortClockRate();

// Makes CreateThread fail (answer null) while set, as when the system has no room for a thread.
void PortFailThreadCreation(bool fail);

// Makes the next WSAStartup fail (as when the socket library cannot start).
void PortFailSocketStartup(bool fail);

// The exit status of the process is recorded here before it ends, and the
// hook (if any) runs first, on the exiting thread: a test front end writes its transcript.
using PortExitHook = void (*)(unsigned status);
void PortSetExitHook(PortExitHook hook);

// The virtual screen of the dialog manager (GetSystemMetrics, CenterWindow); 1024 x 768 unless set.
void PortSetScreenSize(int width, int height);

// Where the dialog manager finds its templates; nullptr restores the product's own table
// (FindDialogDef). Lets a test build dialogs from small fixtures of its own.
struct DialogDef;
using PortDialogSource = const DialogDef* (*)(int templateId);
void PortSetDialogSource(PortDialogSource source);
