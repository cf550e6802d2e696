// Host-order addresses and ports in and out of the platform's IPv4 socket address.
#include <cstring>

#include "common/sockaddr.h"

void FillSocketAddress(std::uint32_t address, std::uint16_t port, sockaddr_in* socketAddress) {
  std::memset(socketAddress, 0, sizeof *socketAddress);
  socketAddress->sin_family = AF_INET;
  socketAddress->sin_port = htons(port);
  socketAddress->sin_addr.s_addr = htonl(address);  // 0 stays INADDR_ANY
}

void UnpackSocketAddress(const sockaddr_in* socketAddress, std::uint32_t* address, std::uint16_t* port) {
  *address = ntohl(socketAddress->sin_addr.s_addr);
  *port = ntohs(socketAddress->sin_port);
}
