// The tick clock: a count of 100 ms ticks kept by a background thread. Every time limit of
// the flash driver is counted in these ticks; only differences are used.
#pragma once

#include <cstdint>

// Starts tick_thread unless it runs already (or the clock is held). 1 when the clock runs,
// -1 when the thread cannot be started: every time limit would then never be reached, so
// the caller must not wait on the clock.
int tick_clock_start(void);
// Returns the tick count; the first call starts tick_thread (see tick_clock_start).
uint32_t get_ticks(void);
// Thread body: forever sleep 100 ms, then add 1 to the count. The argument is ignored.
void tick_thread(void *argument);

// Test control of the clock. After tick_clock_hold() the thread is never started and the
// count moves only by tick_clock_advance(), so tests reach the 10- and 20000-tick limits
// without waiting real time (the board model can advance it once per status read).
void tick_clock_hold(void);
void tick_clock_advance(uint32_t ticks);
// True once tick_thread has been started (tests check that exactly one start happens).
bool tick_thread_started(void);
