#include "common/random.h"

#include <atomic>

#include "common/platform.h"

namespace {
std::atomic<std::uint32_t> g_state{0};
std::atomic<bool> g_seeded{false};
}  // namespace

void SeedSharedRandom(std::uint32_t seed) {
  g_state.store(seed);
  g_seeded.store(true);
}

int SharedRandom() {
  if (!g_seeded.exchange(true)) g_state.store(timeGetTime());
  // The linear congruence of the Windows runtime, with its 15-bit results.
  std::uint32_t state = g_state.load();
  std::uint32_t next;
  do {
    next = state * 214013u + 2531011u;
  } while (!g_state.compare_exchange_weak(state, next));
  return static_cast<int>((next >> 16) & 0x7fffu);
}
