// The tick clock: a count of 100 ms ticks kept by a background thread. Every time limit of
// the flash driver is counted in these ticks; only differences are used.
#pragma once

#include <cstdint>

// Returns the tick count; the first call starts tick_thread.
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
