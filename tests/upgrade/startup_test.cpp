// Start-up in a namespace of its own (tests/netns-run): the host name and
// /etc/hosts are this test's to change.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "digest/digest.h"
#include "tests/support/hooks.h"
#include "upgrade/upgrade.h"

namespace {

void SetHost(const char* name, const std::vector<std::string>& addresses) {
  ASSERT_EQ(0, sethostname(name, std::char_traits<char>::length(name)));
  std::FILE* hosts = std::fopen("/etc/hosts", "w");
  ASSERT_NE(nullptr, hosts);
  std::fprintf(hosts, "127.0.0.1 localhost\n");
  for (const std::string& address : addresses) std::fprintf(hosts, "%s %s\n", address.c_str(), name);
  std::fclose(hosts);
}

std::uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

TEST(InitializeUpgradeTest, ListsTheFirstEightAddressesInOrder) {
  SetHost("zempc", {"10.77.0.1", "10.77.0.2", "10.77.0.3", "10.77.0.4", "10.77.0.5", "10.77.0.6", "10.77.0.7",
                    "10.77.0.8", "10.77.0.9"});
  AuthState.nonceCount = 7;
  InitializeUpgrade();
  for (int i = 0; i < kLocalAddressCapacity; ++i) {
    EXPECT_EQ(Address(10, 77, 0, static_cast<unsigned>(i + 1)), LocalAddressList[i]) << "entry " << i;
  }
  EXPECT_EQ(Address(10, 77, 0, 1), ChosenLocalAddress);
  EXPECT_EQ(0u, AuthState.nonceCount);
  EXPECT_STREQ("zempc", HostName);
  EXPECT_GT(FirmwareImage.size, 0u);
}

TEST(InitializeUpgradeTest, FewerAddressesEndWithAZeroEntry) {
  SetHost("zempc", {"192.168.5.20", "10.1.0.7"});
  InitializeUpgrade();
  EXPECT_EQ(Address(192, 168, 5, 20), LocalAddressList[0]);
  EXPECT_EQ(Address(10, 1, 0, 7), LocalAddressList[1]);
  for (int i = 2; i < kLocalAddressCapacity; ++i) EXPECT_EQ(0u, LocalAddressList[i]) << "entry " << i;
}

TEST(InitializeUpgradeTest, AnUnresolvedNameLeavesTheListEmpty) {
  SetHost("zempc", {"10.77.0.1"});
  InitializeUpgrade();
  SetHost("nowhere", {});
  InitializeUpgrade();
  for (int i = 0; i < kLocalAddressCapacity; ++i) EXPECT_EQ(0u, LocalAddressList[i]) << "entry " << i;
  EXPECT_EQ(0u, ChosenLocalAddress);
}

TEST(InitializeUpgradeDeathTest, SocketLibraryFailureIsFatal) {
  EXPECT_EXIT(
      {
        PortFailSocketStartup(true);
        InitializeUpgrade();
      },
      testing::ExitedWithCode(1), "Upgrade Failed: Winsock init error");
}

}  // namespace
