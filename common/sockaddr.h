// Between host-order IPv4 address and port and the platform's socket address.
#pragma once

#include <cstdint>

#include "common/platform.h"

// Family AF_INET, address and port in network byte order; address 0 is any local address.
void FillSocketAddress(std::uint32_t address, std::uint16_t port, sockaddr_in* socketAddress);
// The address and port of a socket address, in host byte order.
void UnpackSocketAddress(const sockaddr_in* socketAddress, std::uint32_t* address, std::uint16_t* port);

// Length handed to bind, connect and sendto for an IPv4 socket address.
inline constexpr int kSocketAddressLength = 16;
static_assert(sizeof(sockaddr_in) == kSocketAddressLength, "IPv4 socket address is 16 bytes");
