// Placeholder until the request runner lands.
#include <cstdio>

#include "common/report.h"
#include "web/web.h"

int RunDeviceRequest(HINSTANCE, std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t, const char*, char*,
                     int) {
  std::printf("zemupgrade: the device request runner is not built yet\n");
  EndProcess(kExitFailed);
}
