// The wait for a readable socket on Windows: Winsock's select. CMake builds
// this file only for Windows; port/wait.cpp is the POSIX one, in step with its clock.
#include "common/socket_wait.h"

bool WaitForDatagram(SOCKET socket, DWORD milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit;
  limit.tv_sec = static_cast<long>(milliseconds / 1000);
  limit.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
  return select(0, &readable, nullptr, nullptr, &limit) > 0;
}
