// The real system behind port/system.h, and the choice of the system in use.
#include "port/system.h"

#include <time.h>

#include <atomic>
#include <cstdint>

namespace {

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

const timespec g_start = [] {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}();

// Milliseconds since the start of the process.
DWORD RealClock() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::int64_t ms = (now.tv_sec - g_start.tv_sec) * 1000LL + (now.tv_nsec - g_start.tv_nsec) / 1000000LL;
  return static_cast<DWORD>(ms < 0 ? 0 : ms);
}

unsigned RealRate() { return 1; }
bool Granted() { return true; }

void RealScreen(int* width, int* height) {
  *width = kScreenWidth;
  *height = kScreenHeight;
}

void NothingAtExit(unsigned) {}

const PortSystem kRealSystem = {RealClock, RealRate, Granted, Granted, RealScreen, FindDialogDef, NothingAtExit};

std::atomic<const PortSystem*> g_system{&kRealSystem};

}  // namespace

const PortSystem& PortSystemInUse() { return *g_system.load(); }
const PortSystem& PortRealSystem() { return kRealSystem; }
void PortSetSystem(const PortSystem* system) { g_system.store(system != nullptr ? system : &kRealSystem); }
