// The tick clock: a count of 100 ms ticks kept by a background thread, started by the
// first get_ticks. The count has one writer and readers that only take differences, so a
// relaxed 32-bit atomic is all the sharing it needs; wrap-around is harmless.
#include <atomic>

#include "flash/tick_platform.h"
#include "flash/ticks.h"

namespace {

std::atomic<uint32_t> tick_count{0};
// Main thread only.
int tick_thread_pending = 1;
bool clock_held = false;
bool thread_started = false;

}  // namespace

int tick_clock_start(void) {
    if (tick_thread_pending == 1 && !clock_held) {
        if (tick_thread_launch() != 1) return -1;
        thread_started = true;
        tick_thread_pending = 0;
    }
    return 1;
}

uint32_t get_ticks(void) {
    (void)tick_clock_start();
    return tick_count.load(std::memory_order_relaxed);
}

void tick_thread(void *argument) {
    (void)argument;
    for (;;) {
        tick_sleep();
        tick_count.fetch_add(1, std::memory_order_relaxed);
    }
}

void tick_clock_hold(void) { clock_held = true; }

void tick_clock_advance(uint32_t ticks) { tick_count.fetch_add(ticks, std::memory_order_relaxed); }

bool tick_thread_started(void) { return thread_started; }
