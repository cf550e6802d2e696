// The wizard's process-wide state. Every item lives until the process ends.
#include <atomic>

#include "upgrade/upgrade.h"

HINSTANCE ModuleInstance;
std::uint32_t LocalAddressList[kLocalAddressCapacity];
std::uint32_t ChosenLocalAddress;
std::uint32_t DeviceAddress;
char DeviceAddressText[kDeviceAddressTextSize];
char TftpFileName[kTftpFileNameSize];
char UpgradePath[kUpgradePathSize];
char ResponseBuffer[kResponseBufferSize];
char HostName[kHostNameLength + 1];

namespace {
// Written by the main thread, read by the listener thread: the one item two
// threads share while both run, so it is atomic.
std::atomic<bool> g_upgradeCommandReturned{false};
}  // namespace

bool UpgradeCommandReturned() { return g_upgradeCommandReturned.load(); }
void MarkUpgradeCommandReturned() { g_upgradeCommandReturned.store(true); }
