// The tick clock with its real thread (also run under ThreadSanitizer): the first read starts it, and the count
// moves on while reads go on; a run whose clock cannot start ends before the board.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "board/model.h"
#include "check/board_check.h"
#include "flash/ticks.h"
#include "loader/loader.h"
#include "tests/support.h"

// The link wraps pthread_create for this program: while refuse_threads is set no thread starts.
static bool refuse_threads = false;
extern "C" int __real_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern "C" int __wrap_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *), void *arg) {
    if (refuse_threads) return EAGAIN;
    return __real_pthread_create(thread, attr, body, arg);
}

// Without its clock no wait of the driver would end: tavload, tavverify and tavbackup refuse before they touch the
// board, with one message.
TEST(TickClock, ARunWhoseClockCannotStartEndsBeforeTheBoard) {
    const struct { const char *name; int (*body)(uint8_t *window, int argc, char **argv); const char *argument; }
        programs[] = {{"tavload", loader_main, "-status"}, {"tavverify", verify_main, "-fnew_"},
                      {"tavbackup", backup_main, "dir"}};
    refuse_threads = true;
    for (const auto &program : programs) {
        SCOPED_TRACE(program.name);
        std::string words[] = {program.name, program.argument};
        char *argv[] = {words[0].data(), words[1].data(), nullptr};
        // A model board whose devices are always ready: a program that went on would read it and end.
        tavtest::TempDir dir;
        std::string error;
        std::unique_ptr<tavboard::Board> board = tavboard::Board::create(dir.board(), tavboard::Fit{}, true, &error);
        ASSERT_NE(board, nullptr) << error;
        tavboard::attach(*board);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(program.body(board->window_address(), 2, argv), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: the 100 ms tick thread cannot be started, so no wait of the flash driver would end\n");
        EXPECT_EQ(board->counters().accesses, 0u) << "the board was touched";
        tavboard::detach(*board);
    }
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
