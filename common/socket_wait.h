// Waiting for a datagram without sleeping blind: the wait ends the moment the
// socket becomes readable, so a polling loop answers at once yet stays idle.
#pragma once

#include "common/platform.h"

// Waits until the socket has something to read or the time has passed.
// True when it is readable (or reports an error that a read will show).
bool WaitForDatagram(SOCKET socket, DWORD milliseconds);
