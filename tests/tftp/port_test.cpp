// The listener's port walk over 69..168. Runs in a network namespace of its own
// (tests/netns-run), so the well-known ports are this test's to take.
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/hooks.h"

#include "common/sockaddr.h"
#include "tftp/tftp.h"
#include "tftp_fixture.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::kLoopback;

// Holds the UDP ports first..last on 127.0.0.1 for the life of the record.
struct PortsHeld {
  std::vector<SOCKET> sockets;
  PortsHeld(std::uint16_t first, std::uint16_t last) {
    for (unsigned port = first; port <= last; ++port) {
      SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in address;
      FillSocketAddress(kLoopback, static_cast<std::uint16_t>(port), &address);
      EXPECT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address)) << "port " << port;
      sockets.push_back(s);
    }
  }
  ~PortsHeld() {
    for (SOCKET s : sockets) close(s);
  }
};

TEST(TftpPortTest, TakesTheFirstFreePortFrom69) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  std::uint16_t port = 0;
  {
    PortsHeld held(69, 70);
    ASSERT_TRUE(BindTftpPort(s, kLoopback, &port));
    EXPECT_EQ(71, port);
  }
  close(s);
  s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(BindTftpPort(s, kLoopback, &port));
  EXPECT_EQ(69, port);
  close(s);
  PortsHeld held(69, 167);
  s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_TRUE(BindTftpPort(s, kLoopback, &port));
  EXPECT_EQ(168, port);
  close(s);
}

TEST(TftpPortDeathTest, AllHundredPortsTakenIsFatal) {
  PortsHeld held(69, 168);
  FirmwareImage.size = 1000;
  EXPECT_EXIT(StartTftpListener(kLoopback), ::testing::ExitedWithCode(1),
              "Upgrade Failed: Can't bind TFTP listener socket");
}

TEST(TftpPortDeathTest, AListenerThreadThatCannotStartIsFatal) {
  FirmwareImage.size = 1000;
  EXPECT_EXIT(
      {
        PortFailThreadCreation(true);
        StartTftpListener(kLoopback);
      },
      ::testing::ExitedWithCode(1), "Upgrade Failed: Can't start the TFTP listener thread");
}

}  // namespace
