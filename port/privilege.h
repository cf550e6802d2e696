// Start-up of the POSIX programs: may this process bind the TFTP server's ports?
// Linux keeps the ports below net.ipv4.ip_unprivileged_port_start (1024 unless
// changed) for programs with CAP_NET_BIND_SERVICE. Without the check an ordinary
// user would walk the whole wizard and only then meet "Can't bind TFTP listener
// socket". Windows has no such rule; its build has no such check.
#pragma once

#include <cstdint>

enum PortBindRight : int {
  kBindAllowed = 0,    // some port of the range can be bound, or only something else than permission stops it
  kBindForbidden = 1,  // the system refuses every port of the range to this process
};

// Binds one UDP socket to the wildcard address on first, first + 1, ...
// first + count - 1 and closes it again; nothing is sent. Only a permission
// error (EACCES, EPERM) goes on to the next port. A port in use (EADDRINUSE)
// proves the right, since Linux checks the right before the port's owner: the
// listener's own walk then goes on past it as usual. Other failures (no socket
// at all) are the listener's to report, so they count as allowed here.
PortBindRight PortCheckUdpBindRight(std::uint16_t first, int count);

// Returns when PortCheckUdpBindRight allows the range. Otherwise writes to
// standard error why the program cannot work and the two ways out (run it as
// root, or grant the program cap_net_bind_service with setcap, naming its
// path), then ends the process with kExitFailed before any dialog or packet.
void PortRequireUdpBindRight(std::uint16_t first, int count);
