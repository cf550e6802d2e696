// Placeholders until the web client lands.
#include <cstdio>

#include "common/report.h"
#include "web/web.h"

DeviceInfoRecord DeviceInfo;

int RunDeviceRequest(HINSTANCE, std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t, const char*, char*,
                     int) {
  std::printf("zemupgrade: the device web client is not built yet\n");
  EndProcess(kExitFailed);
}
