// Winsock 1.1 names over BSD sockets.
#include <cerrno>
#include <cstring>

#include "port/system.h"
#include "port/win32.h"

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  if (!PortSystemInUse().socketsGranted()) return 10091;  // the network subsystem is unavailable
  if (data != nullptr) {
    std::memset(data, 0, sizeof *data);
    data->wVersion = versionRequested;
    data->wHighVersion = MAKEWORD(1, 1);
    std::strncpy(data->szDescription, "POSIX sockets", WSADESCRIPTION_LEN);
    std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
    data->iMaxSockets = 1024;
    data->iMaxUdpDg = 65467;
  }
  return 0;
}

int WSACleanup() { return 0; }

int WSAGetLastError() { return errno; }

int closesocket(SOCKET s) { return close(s); }

int ioctlsocket(SOCKET s, long command, u_long* argument) {
  if (command == static_cast<long>(FIONBIO)) {
    int on = (argument != nullptr && *argument != 0) ? 1 : 0;
    return ioctl(s, FIONBIO, &on);
  }
  errno = EINVAL;
  return SOCKET_ERROR;
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength) {
  socklen_t size = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
  ssize_t n = ::recvfrom(s, static_cast<void*>(buffer), static_cast<std::size_t>(length < 0 ? 0 : length),
                         flags, from, fromLength != nullptr ? &size : nullptr);
  if (fromLength != nullptr) *fromLength = static_cast<int>(size);
  return static_cast<int>(n);
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  return static_cast<int>(
      ::send(s, static_cast<const void*>(buffer), static_cast<std::size_t>(length < 0 ? 0 : length), flags | MSG_NOSIGNAL));
}
