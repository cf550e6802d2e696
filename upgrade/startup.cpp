// Start-up: sockets, the PC's addresses, the authentication record, the
// pseudo-random generator, the common controls and the firmware image.
#include <cstdlib>
#include <cstring>

#include "common/random.h"
#include "common/report.h"
#include "common/trace.h"
#include "digest/digest.h"
#include "upgrade/upgrade.h"

namespace {

void ListLocalAddresses() {
  gethostname(HostName, kHostNameLength);
  hostent* host = gethostbyname(HostName);
  for (std::uint32_t& entry : LocalAddressList) entry = 0;
  if (host == nullptr || host->h_addr_list == nullptr) return;
  for (int i = 0; i < kLocalAddressCapacity; ++i) {
    const char* address = host->h_addr_list[i];
    if (address == nullptr) break;
    std::uint32_t networkOrder;
    std::memcpy(&networkOrder, address, sizeof networkOrder);
    LocalAddressList[i] = ntohl(networkOrder);
    Trace("Client IP = %x\n", LocalAddressList[i]);
  }
}

}  // namespace

void InitializeUpgrade() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) FatalFailure("Upgrade Failed: Winsock init error");
  ListLocalAddresses();
  ChosenLocalAddress = LocalAddressList[0];
  std::memset(&AuthState, 0, sizeof AuthState);
  SeedSharedRandom(timeGetTime());
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_INTERNET_CLASSES | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&controls);
  LoadFirmwareImage();
}
