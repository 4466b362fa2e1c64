// The tick clock with its real thread: started once by the first get_ticks, about ten
// ticks a second.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "flash/ticks.h"

namespace {

TEST(TickClock, FirstReadStartsOneThreadThatTicksEvery100Ms) {
    ASSERT_FALSE(tick_thread_started());
    uint32_t start = get_ticks();
    EXPECT_TRUE(tick_thread_started());
    // Many reads, one thread: two or more threads would each add a tick per 100 ms.
    auto wall_start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; i++) get_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    uint32_t elapsed = get_ticks() - start;
    auto wall_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wall_start)
                       .count();
    // A loaded machine may oversleep or run the thread late, never early: one tick per
    // 100 ms at most, and at least half of them.
    EXPECT_LE(elapsed, (uint32_t)(wall_ms / 100 + 1));
    EXPECT_GE(elapsed, (uint32_t)(wall_ms / 200));
}

}  // namespace
