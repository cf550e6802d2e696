// On Windows the wait is Winsock's select; port/ supplies its own elsewhere,
// in step with its clock.
#include "common/socket_wait.h"

#ifdef _WIN32
bool WaitForDatagram(SOCKET socket, DWORD milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit;
  limit.tv_sec = static_cast<long>(milliseconds / 1000);
  limit.tv_usec = static_cast<long>((milliseconds % 1000) * 1000);
  return select(0, &readable, nullptr, nullptr, &limit) > 0;
}
#endif
