// The test system of port/system.h: the real system with the controls of
// tests/support/hooks.h on top. Each control's state lives here.
#include "tests/support/hooks.h"

#include <atomic>

namespace {

// The clock as one value, so that a reader never sees half of a change:
// the rate in the high half (0 while the real clock runs), in the low half
// the base that clock() adds to rate * the real clock.
std::atomic<std::uint64_t> g_clock{0};
std::atomic<bool> g_failThreads{false};
std::atomic<bool> g_failSockets{false};
std::atomic<PortExitHook> g_exitHook{nullptr};
std::atomic<std::uint64_t> g_screen{0};  // width in the high half, height in the low; 0 the real screen
std::atomic<PortDialogSource> g_source{nullptr};

unsigned ClockRate() {
  unsigned rate = static_cast<unsigned>(g_clock.load() >> 32);
  return rate == 0 ? 1 : rate;
}

DWORD Clock() {
  std::uint64_t clock = g_clock.load();
  std::uint32_t rate = static_cast<std::uint32_t>(clock >> 32);
  DWORD real = PortRealSystem().clock();
  if (rate == 0) return real;
  return static_cast<DWORD>(static_cast<std::uint32_t>(clock) + real * rate);
}

bool ThreadGranted() { return !g_failThreads.load(); }
bool SocketsGranted() { return !g_failSockets.load(); }

void ScreenSize(int* width, int* height) {
  std::uint64_t screen = g_screen.load();
  if (screen == 0) {
    PortRealSystem().screenSize(width, height);
    return;
  }
  *width = static_cast<int>(screen >> 32);
  *height = static_cast<int>(screen & 0xffffffffu);
}

const DialogDef* DialogTemplate(int templateId) {
  if (PortDialogSource source = g_source.load()) return source(templateId);
  return PortRealSystem().dialogTemplate(templateId);
}

void Exiting(unsigned status) {
  if (PortExitHook hook = g_exitHook.load()) hook(status);
  PortRealSystem().exiting(status);
}

const PortSystem kTestSystem = {Clock, ClockRate, ThreadGranted, SocketsGranted, ScreenSize, DialogTemplate, Exiting};

void Install() { PortSetSystem(&kTestSystem); }

}  // namespace

void PortSetClock(std::uint32_t offsetMs, unsigned rate) {
  if (rate == 0) rate = 1;
  std::uint32_t base = offsetMs - PortRealSystem().clock() * rate;
  g_clock.store(static_cast<std::uint64_t>(rate) << 32 | base);
  Install();
}

void PortFailThreadCreation(bool fail) {
  g_failThreads.store(fail);
  Install();
}

void PortFailSocketStartup(bool fail) {
  g_failSockets.store(fail);
  Install();
}

void PortSetExitHook(PortExitHook hook) {
  g_exitHook.store(hook);
  Install();
}

void PortSetScreenSize(int width, int height) {
  g_screen.store(static_cast<std::uint64_t>(static_cast<std::uint32_t>(width)) << 32 |
                 static_cast<std::uint32_t>(height));
  Install();
}

void PortSetDialogSource(PortDialogSource source) {
  g_source.store(source);
  Install();
}
