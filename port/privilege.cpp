// The start-up check for the TFTP ports on POSIX (see privilege.h).
#include "port/privilege.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "port/win32.h"

namespace {

// "/usr/bin/zemupgrade": the file that setcap has to mark. The kernel's own
// record of the executable, symbolic links resolved (setcap refuses a link).
void ProgramPath(char* path, std::size_t size) {
  ssize_t length = readlink("/proc/self/exe", path, size - 1);
  if (length <= 0) {
    std::snprintf(path, size, "%s", "zemupgrade");
    return;
  }
  path[length] = '\0';
}

// The first unprivileged port as this network namespace has it, or "" when it cannot be read.
void UnprivilegedPortStart(char* text, std::size_t size) {
  text[0] = '\0';
  std::FILE* file = std::fopen("/proc/sys/net/ipv4/ip_unprivileged_port_start", "r");
  if (file == nullptr) return;
  unsigned value = 0;
  if (std::fscanf(file, "%u", &value) == 1) std::snprintf(text, size, "%u", value);
  std::fclose(file);
}

}  // namespace

PortBindRight PortCheckUdpBindRight(std::uint16_t first, int count) {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return kBindAllowed;
  PortBindRight right = count > 0 ? kBindForbidden : kBindAllowed;
  for (int i = 0; i < count; ++i) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(first + i));
    if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        (errno != EACCES && errno != EPERM)) {
      right = kBindAllowed;
      break;
    }
  }
  ::close(s);
  return right;
}

void PortRequireUdpBindRight(std::uint16_t first, int count) {
  if (PortCheckUdpBindRight(first, count) == kBindAllowed) return;
  char path[PATH_MAX];
  ProgramPath(path, sizeof path);
  char start[16];
  UnprivilegedPortStart(start, sizeof start);
  std::fprintf(stderr,
               "zemupgrade cannot start: this system does not let it bind UDP ports %u to %u.\n"
               "The adapter fetches the new firmware from zemupgrade's own TFTP server on one\n"
               "of these ports, and Linux keeps the ports below %s for privileged programs\n"
               "(net.ipv4.ip_unprivileged_port_start). Two ways out:\n"
               "  - run it as root, for example:\n"
               "      sudo %s\n"
               "  - or, once, as root, give the program the right to bind low ports:\n"
               "      sudo setcap cap_net_bind_service=+ep %s\n",
               static_cast<unsigned>(first), static_cast<unsigned>(first + count - 1),
               start[0] != '\0' ? start : "a limit", path, path);
  ExitProcess(kExitFailed);
}
