// The process-wide pseudo-random generator: results 0 to 32767.
//
// The C runtime's rand() cannot serve here on Windows: its state belongs to
// the calling thread, and every new thread starts from the same fixed seed.
// The client nonce is drawn on a fresh worker thread for each request, so it
// would be the same value in every parse of every run. This generator keeps
// one state for all threads.
#pragma once

#include <cstdint>

// Seeds the generator (once, at start-up). Until then the first draw seeds it
// from the millisecond clock.
void SeedSharedRandom(std::uint32_t seed);

// The next value, 0 to 32767, from whichever thread asks.
int SharedRandom();
