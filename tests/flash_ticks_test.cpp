// The tick clock with its real thread (also run under ThreadSanitizer): the first read starts it, and the count
// moves on while reads go on; a run whose clock cannot start ends before the board.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include "flash/ticks.h"
#include "loader/loader.h"

// The link wraps pthread_create for this program: while refuse_threads is set no thread starts.
static bool refuse_threads = false;
extern "C" int __real_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *), void *arg) {
    if (refuse_threads) return EAGAIN;
    return __real_pthread_create(thread, attr, body, arg);
}

// Without its clock no wait of the driver would end: the run stops before the board.
TEST(TickClock, ARunWhoseClockCannotStartEndsBeforeTheBoard) {
    refuse_threads = true;
    char words[2][16] = {"tavload", "-status"};
    char *argv[] = {words[0], words[1], nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(loader_main(nullptr, 2, argv), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: the 100 ms tick thread cannot be started, so no wait of the flash driver would end\n");
    refuse_threads = false;
    EXPECT_FALSE(tick_thread_started());
}

TEST(TickClock, FirstReadStartsTheThreadAndTheCountMovesOn) {
    ASSERT_FALSE(tick_thread_started());
    const uint32_t start = get_ticks();
    EXPECT_TRUE(tick_thread_started());
    for (int i = 0; i < 200 && get_ticks() - start < 2; i++) usleep(50000);
    EXPECT_GE(get_ticks() - start, 2u);
}
