// The wait for a readable socket over POSIX. Its time limit follows the test
// clock's rate like Sleep does, so a test that speeds the clock speeds the idle
// waits too. ppoll, unlike select, has no limit on the descriptor's number.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "common/socket_wait.h"
#include "port/system.h"

bool WaitForDatagram(SOCKET socket, DWORD milliseconds) {
  unsigned rate = PortClockRate();
  std::uint64_t ns = static_cast<std::uint64_t>(milliseconds) * 1000000u / (rate == 0 ? 1 : rate);
  timespec limit{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
  pollfd entry{socket, POLLIN, 0};
  int n;
  do {
    n = ppoll(&entry, 1, &limit, nullptr);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}
