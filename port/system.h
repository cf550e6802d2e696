// What the POSIX platform takes from the system around the program, apart
// from the operator (port/frontend.h): the clock, the screen, the dialog
// templates the executable carries, and whether a thread or the socket
// library can be had. The shipped program runs on the real system; a test
// program may install one of its own (tests/support/hooks.cpp) to reach what
// the real one rarely offers, such as a fast clock or a refused thread.
#pragma once

#include "port/win32.h"
#include "resources/dialog_defs.h"

struct PortSystem {
  // timeGetTime: milliseconds, wrapping at 2^32.
  DWORD (*clock)();
  // Milliseconds of clock per real millisecond, at least 1: Sleep and the
  // socket wait divide their time by it, so that they keep pace with clock.
  unsigned (*clockRate)();
  // False makes CreateThread fail, as when the system has no room for a thread.
  bool (*threadGranted)();
  // False makes WSAStartup fail, as when the socket library cannot start.
  bool (*socketsGranted)();
  // The primary screen in pixels (GetSystemMetrics).
  void (*screenSize)(int* width, int* height);
  // The dialog template of that id, nullptr when the executable has none.
  const DialogDef* (*dialogTemplate)(int templateId);
  // The first thing ExitProcess does, on the exiting thread.
  void (*exiting)(unsigned status);
};

// The system every platform call consults: the real one unless another is installed.
const PortSystem& PortSystemInUse();
// The real system: the monotonic clock since the start at rate 1, threads and
// sockets granted, a 1024 x 768 screen, the dialog table of resources/, nothing at exit.
const PortSystem& PortRealSystem();
// nullptr puts the real system back.
void PortSetSystem(const PortSystem* system);

// The clock's rate of the system in use, at least 1.
inline unsigned PortClockRate() {
  unsigned rate = PortSystemInUse().clockRate();
  return rate == 0 ? 1 : rate;
}
