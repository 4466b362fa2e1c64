// The tick clock with its real thread (also run under ThreadSanitizer): the first read starts
// it, and the count moves on while reads go on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "flash/ticks.h"

TEST(TickClock, FirstReadStartsTheThreadAndTheCountMovesOn) {
    ASSERT_FALSE(tick_thread_started());
    uint32_t start = get_ticks();
    EXPECT_TRUE(tick_thread_started());
    for (int i = 0; i < 200 && get_ticks() - start < 2; i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(get_ticks() - start, 2u);
}
